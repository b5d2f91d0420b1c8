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

KeyframeClock::KeyframeClock(int fps) : maxFrames_(int64_t(std::max(fps, 1)) * 2) {}

bool KeyframeClock::due(Time presentationTime) {
    int64_t now = nanoseconds(presentationTime);
    bool backwards = lastFrameNanoseconds_ && now < *lastFrameNanoseconds_;
    lastFrameNanoseconds_ = now;
    ++framesSinceKey_;
    if (!lastKeyNanoseconds_ || backwards) return true;
    return framesSinceKey_ >= maxFrames_ || now - *lastKeyNanoseconds_ >= kMaxIntervalNanoseconds;
}

void KeyframeClock::keyFrameProduced(Time presentationTime) {
    lastKeyNanoseconds_ = nanoseconds(presentationTime);
    framesSinceKey_ = 0;
}

void KeyframeClock::reset() { lastKeyNanoseconds_.reset(); }

}  // namespace vx
