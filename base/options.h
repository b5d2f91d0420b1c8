#pragma once
// Command-line options. An option is a name ("--rate") followed by its value as
// the next argument; the first occurrence of the name anywhere on the command
// line (program path and mode included) wins. Any thread, no side effects.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vx {

// The process arguments, argument 0 included. Set once by the entry point before
// any other thread starts (tests set it themselves).
void setArguments(std::vector<std::string> arguments);
const std::vector<std::string>& arguments();

// The option's value as a decimal signed 64-bit integer, or fallback when the
// option is absent, is the last argument, or its value is not such an integer.
int64_t option(const std::string& name, int64_t fallback);

// The option's value as it stands (possibly empty), or none when absent or last.
std::optional<std::string> stringOption(const std::string& name);

// Strict decimal: optional sign, one or more ASCII digits, nothing else, within
// the signed 64-bit range.
std::optional<int64_t> parseDecimal(const std::string& text);

// Ends the process with status 2 and the line "invalid <name> <value>: must be
// between <lowest> and <highest>" unless lowest <= value <= highest.
void requireRange(const char* name, int64_t value, int64_t lowest, int64_t highest);

}  // namespace vx
