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

std::string oneLine(const std::string& text) {
    static const char hex[] = "0123456789abcdef";
    std::string line;
    line.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            line += c;
        } else if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if (c == '\t') {
            line += "\\t";
        } else {
            line += "\\x";
            line += hex[byte >> 4];
            line += hex[byte & 0xf];
        }
    }
    return line;
}

void log(const std::string& message) { writeLine(oneLine(message) + "\n"); }

void fail(const std::string& message, int code) {
    writeLine("vx-capture: " + oneLine(message) + "\n");
    endProcess(code);
}

void endProcess(int status) { ::_exit(status); }

}  // namespace vx
