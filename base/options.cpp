#include "base/options.h"

#include <limits>

#include "base/diagnostics.h"

namespace vx {

namespace {
std::vector<std::string>& storedArguments() {
    static std::vector<std::string> stored;
    return stored;
}
}  // namespace

void setArguments(std::vector<std::string> arguments) { storedArguments() = std::move(arguments); }

const std::vector<std::string>& arguments() { return storedArguments(); }

std::optional<std::string> stringOption(const std::string& name) {
    const auto& args = arguments();
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] != name) continue;
        if (i + 1 >= args.size()) return std::nullopt;
        return args[i + 1];
    }
    return std::nullopt;
}

std::optional<int64_t> parseDecimal(const std::string& text) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    // Accumulate as a negative number so that the minimum fits.
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        int digit = c - '0';
        if (value < (kMin + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (negative) return value;
    if (value == kMin) return std::nullopt;
    return -value;
}

int64_t option(const std::string& name, int64_t fallback) {
    auto text = stringOption(name);
    if (!text) return fallback;
    return parseDecimal(*text).value_or(fallback);
}

void requireRange(const char* name, int64_t value, int64_t lowest, int64_t highest) {
    if (value >= lowest && value <= highest) return;
    fail(std::string("invalid ") + name + " " + std::to_string(value) + ": must be between " +
             std::to_string(lowest) + " and " + std::to_string(highest),
         2);
}

}  // namespace vx
