#pragma once
// The program's one diagnostic channel: single lines on standard error, each
// written whole with one write(2). Any thread.
#include <string>

namespace vx {

// "vx-capture: " + message + newline on standard error, then the process ends with
// status code at once: nothing is flushed, stopped or destroyed first.
[[noreturn]] void fail(const std::string& message, int code);

// message + newline on standard error, without prefix. A failed write is ignored.
void log(const std::string& message);

// Ends the process at once with status, without a message and without running
// static destructors, so threads still at work touch nothing torn down.
[[noreturn]] void endProcess(int status);

// Writes line to standard error in one write(2), as given.
void writeLine(const std::string& line);

}  // namespace vx
