#include "platform/rate_conversion.h"

#include <algorithm>
#include <iterator>

namespace vx {

namespace {

// inputFrames x outputRate may pass 64 bits for rates near the largest accepted.
using Wide = __int128;

}  // namespace

int64_t RateConversion::captureRate(int64_t requested) {
    for (int64_t rate : kCaptureRates)
        if (rate >= requested) return rate;
    return std::end(kCaptureRates)[-1];
}

int64_t RateConversion::captureChannels(int64_t requested) {
    return std::clamp<int64_t>(requested, 1, kMaxCaptureChannels);
}

RateConversion::RateConversion(int64_t inputRate, int64_t outputRate)
    : inputRate_(std::max<int64_t>(inputRate, 1)),
      outputRate_(std::max<int64_t>(outputRate, 1)),
      maxOwed_(std::max<int64_t>(outputRate_ / 10, 1)) {}

int64_t RateConversion::framesToRequest(int64_t inputFrames) {
    const Wide total = Wide(remainder_) + Wide(std::max<int64_t>(inputFrames, 0)) * outputRate_;
    const int64_t due = int64_t(total / inputRate_);
    remainder_ = int64_t(total % inputRate_);
    owed_ = std::min(owed_ + due, capacity(inputFrames));
    return owed_;
}

void RateConversion::delivered(int64_t outputFrames) {
    owed_ -= std::clamp<int64_t>(outputFrames, 0, owed_);
}

int64_t RateConversion::capacity(int64_t inputFrames) const {
    const Wide share = Wide(std::max<int64_t>(inputFrames, 0)) * outputRate_;
    return int64_t((share + inputRate_ - 1) / inputRate_) + maxOwed_;
}

}  // namespace vx
