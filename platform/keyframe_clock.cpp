#include "platform/keyframe_clock.h"

#include <algorithm>

namespace vx {
namespace {

constexpr int64_t kMaxIntervalNanoseconds = 2'000'000'000;

// value / timescale seconds in nanoseconds, without overflow for any 64-bit value.
int64_t nanoseconds(Time time) {
    if (time.timescale <= 0) return 0;
    __int128 scaled = __int128(time.value) * 1'000'000'000 / time.timescale;
    return int64_t(std::clamp<__int128>(scaled, INT64_MIN, INT64_MAX));
}

}  // namespace

KeyframeClock::KeyframeClock(int fps)
    : maxFrames_(int64_t(std::max(fps, 1)) * 2), maxNanoseconds_(kMaxIntervalNanoseconds) {}

KeyframeClock::KeyframeClock(int64_t maxFrames, std::optional<int64_t> maxSeconds)
    : maxFrames_(std::max<int64_t>(maxFrames, 1)) {
    if (maxSeconds)
        maxNanoseconds_ = std::min<__int128>(__int128(*maxSeconds) * 1'000'000'000, INT64_MAX);
}

bool KeyframeClock::due(Time presentationTime, bool repeat) {
    int64_t now = nanoseconds(presentationTime);
    bool backwards = lastFrameNanoseconds_ && now < *lastFrameNanoseconds_;
    lastFrameNanoseconds_ = now;
    if (!repeat) ++framesSinceKey_;
    if (!lastKeyNanoseconds_ || backwards) return true;
    // The difference of two clamped times fits in 128 bits, not always in 64.
    return framesSinceKey_ >= maxFrames_ ||
           (maxNanoseconds_ && __int128(now) - *lastKeyNanoseconds_ >= *maxNanoseconds_);
}

void KeyframeClock::keyFrameProduced(Time presentationTime) {
    lastKeyNanoseconds_ = nanoseconds(presentationTime);
    framesSinceKey_ = 0;
}

void KeyframeClock::reset() { lastKeyNanoseconds_.reset(); }

}  // namespace vx
