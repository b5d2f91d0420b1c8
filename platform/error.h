#pragma once
// What the platform reports when something fails: a status for single calls, and
// an error with a code and a human-readable description for failures that travel
// up to the start task.
#include <cstdint>
#include <string>

namespace vx {

// 0 means success; anything else is the callee's own failure code.
using Status = int32_t;

struct Error {
    int64_t code = 0;
    std::string description;  // may be empty
};

// The code a capture carries when the user has not allowed screen recording.
inline constexpr int64_t kUserDeclinedCapture = -3801;

}  // namespace vx
