#pragma once
// The main thread's last call: it gives the thread to the platform's main loop for
// good (dispatch_main on macOS; an idle wait elsewhere). Nothing is ever submitted
// to the main thread. Called once, by the entry point, on the main thread.

namespace vx {

[[noreturn]] void parkMainThread();

}  // namespace vx
