#pragma once
// Start-up of the process: checks the mode, starts the capture in the background,
// watches standard input, and parks the main thread for good.

namespace vx {

// Called by main() on the main thread. Never returns: the process ends through
// one of the documented exit paths on whichever thread meets it.
[[noreturn]] void runEntryPoint(int argc, char** argv);

}  // namespace vx
