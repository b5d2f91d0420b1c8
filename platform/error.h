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

// The codes the program and its backends report, in one place.
// The user has not allowed screen recording.
inline constexpr int64_t kUserDeclinedCapture = -3801;
// The stream cannot take that output (one output per type).
inline constexpr int64_t kStreamOutputRefused = -3805;
// The stream is already running.
inline constexpr int64_t kStreamAlreadyRunning = -3808;
// The compression session does not take these settings.
inline constexpr Status kEncoderInvalidParameter = -12902;
// The X server cannot be reached, or was lost.
inline constexpr int64_t kDisplayConnectionFailed = -1;
// The X server lacks what the screen capture needs (shared memory, true colour).
inline constexpr int64_t kDisplayUnsupported = -2;
// The desktop portal's screen cast cannot be had or read (Wayland), or ended.
inline constexpr int64_t kScreenCastFailed = -3;

}  // namespace vx
