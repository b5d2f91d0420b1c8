#pragma once
// The program's one diagnostic channel: single lines on standard error, each
// written whole with one write(2). Any thread.
#include <string>

namespace vx {

// Messages are one line whatever they quote (a path, a library's description):
// fail() and log() pass the message through oneLine() first.

// text with every control character written out: newline, carriage return and tab
// as \n, \r and \t, the other bytes below 0x20 and 0x7f as \xHH. Other bytes,
// UTF-8 included, are kept as they are.
std::string oneLine(const std::string& text);

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
