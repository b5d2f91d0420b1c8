#pragma once
// What both Linux screen sources (X11, the Wayland screen cast) read the same way
// from a stream configuration. Pure functions, any thread.
#include <cstdint>
#include <optional>

#include "platform/error.h"
#include "platform/media_time.h"

namespace vx {

// The largest picture side a screen source makes.
inline constexpr int64_t kMaxScreenPictureSize = 16384;

// The refusal of a width x height picture with a side outside 2 .. kMaxScreenPictureSize,
// naming the size and the limit; none for a size the sources can make.
std::optional<Error> refusedPictureSize(int64_t width, int64_t height);

// The minimum frame interval in nanoseconds; 1/60 s when the interval is not a
// positive time.
uint64_t frameIntervalNanoseconds(Time interval);

}  // namespace vx
