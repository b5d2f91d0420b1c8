// Arbitrary command lines: the option lookup and the decimal conversion must
// neither crash nor disagree with a reference conversion.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/options.h"

namespace {

// Reference: strtoll with the accepted form checked by hand.
bool referenceDecimal(const std::string& text, int64_t* value) {
    size_t i = (!text.empty() && (text[0] == '+' || text[0] == '-')) ? 1 : 0;
    if (i == text.size()) return false;
    for (size_t j = i; j < text.size(); ++j)
        if (text[j] < '0' || text[j] > '9') return false;
    errno = 0;
    long long parsed = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE) return false;
    *value = parsed;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Arguments are separated by NUL bytes, as the kernel hands them over.
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) args.emplace_back();
        else args.back().push_back(char(data[i]));
    }
    vx::setArguments(args);
    for (const auto& name : args) {
        auto text = vx::stringOption(name);
        int64_t expected = 0;
        bool ok = text && referenceDecimal(*text, &expected);
        int64_t got = vx::option(name, 42);
        if (ok ? got != expected : got != 42) std::abort();
        if (text && ok != vx::parseDecimal(*text).has_value()) std::abort();
    }
    return 0;
}
