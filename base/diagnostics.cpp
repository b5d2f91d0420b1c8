#include "base/diagnostics.h"

#include <unistd.h>

namespace vx {

void writeLine(const std::string& line) {
    // One write: lines from different threads never mix. A short or failed write
    // (the parent closed our standard error) is not retried; there is nobody to
    // tell.
    ssize_t ignored = ::write(2, line.data(), line.size());
    (void)ignored;
}

void log(const std::string& message) { writeLine(message + "\n"); }

void fail(const std::string& message, int code) {
    writeLine("vx-capture: " + message + "\n");
    endProcess(code);
}

void endProcess(int status) { ::_exit(status); }

}  // namespace vx
