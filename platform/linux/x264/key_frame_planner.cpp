#include "platform/linux/x264/key_frame_planner.h"

#include <algorithm>
#include <cmath>

namespace vx {

namespace {
constexpr int kCoarsestQuantizer = 51;
// How much finer than the frames before a key frame is coded: every frame after it
// starts from it.
constexpr int kKeyFrameStep = 1;
// The share of what the buffer holds that a key frame may take: x264 holds any frame to
// about half of it, and the frames after it still find room. Where the buffer holds
// fewer than five frames' share of the rate x264 lets a frame take all of it, and its
// own choice stands.
constexpr double kKeyFrameShare = 0.5;
constexpr int kFramesForHalf = 5;
// A picture unchanged this long is a still screen: its key frame may take this share, and
// the repeats after it, which refine it further or skip every block, wait for the buffer.
constexpr double kStillSeconds = 0.5;
constexpr double kStillKeyFrameShare = 0.9;
// The quantizer steps that halve a key frame's bits until two key frames at different
// quantizers tell (as much as 20 on text at fine quantizers, 6 on noise), within limits.
constexpr double kHalvingSteps = 8;
constexpr double kFewestHalvingSteps = 5, kMostHalvingSteps = 24;
// The presentation time the mean quantizer of the frames stands for.
constexpr double kSteadySeconds = 0.5;
// A picture with this many times the detail of the last key frame's is another picture.
constexpr double kBusierPicture = 1.5;
// x264's buffer starts this full.
constexpr double kInitialFill = 0.9;
}  // namespace

KeyFramePlanner::KeyFramePlanner(int kilobitsPerSecond, int fps, int baseKilobits,
                                 int largestKilobits, int finestQuantizer, int firstKilobits)
    : bitsPerSecond_(1000.0 * kilobitsPerSecond),
      planned_(int64_t(baseKilobits) * std::max(1, fps) >=
               int64_t(kFramesForHalf) * kilobitsPerSecond),
      baseKilobits_(baseKilobits),
      largestKilobits_(std::max(baseKilobits, largestKilobits)),
      finestQuantizer_(finestQuantizer),
      bufferKilobits_(std::max(baseKilobits, firstKilobits)),
      fill_(kInitialFill * 1000.0 * bufferKilobits_),
      halvingSteps_(kHalvingSteps) {}

void KeyFramePlanner::coded(double seconds, int64_t bits, bool key, double quantizer,
                            double detail) {
    const double size = 1000.0 * bufferKilobits_;
    double interval = 0;
    if (lastSeconds_) interval = std::clamp(seconds - *lastSeconds_, 0.0, size / bitsPerSecond_);
    lastSeconds_ = seconds;
    fill_ = std::clamp(fill_ - double(bits) + bitsPerSecond_ * interval, 0.0, size);
    if (!planned_) return;
    if (quantizer < 0) {
        // Without the quantizers nothing can be planned: x264's own choice throughout.
        keyQuantizer_ = -1;
        steady_.reset();
        resize();
        return;
    }
    if (key) {
        // Only a picture of about the same detail tells how the bits follow the quantizer.
        const bool alike = detail <= 1.25 * keyDetail_ && keyDetail_ <= 1.25 * detail;
        if (keyQuantizer_ >= 0 && alike && std::abs(quantizer - keyQuantizer_) >= 2 && bits > 0)
            halvingSteps_ = std::clamp((keyQuantizer_ - quantizer) / std::log2(bits / keyBits_),
                                       kFewestHalvingSteps, kMostHalvingSteps);
        keyBits_ = double(bits);
        keyQuantizer_ = quantizer;
        keyDetail_ = detail;
        pictureDetail_ = 0;
    } else {
        const double weight = steady_ ? std::min(1.0, interval / kSteadySeconds) : 1.0;
        steady_ = steady_ ? *steady_ + weight * (quantizer - *steady_) : quantizer;
    }
    resize();
}

void KeyFramePlanner::pictureDetail(double detail) {
    if (detail <= pictureDetail_) return;
    pictureDetail_ = detail;
    if (planned_) resize();
}

double KeyFramePlanner::keyFrameBits(int quantizer, double detail) const {
    // Unknown detail (0) on either side: as the last key frame.
    const double scale = detail > 0 && keyDetail_ > 0 ? detail / keyDetail_ : 1.0;
    return scale * keyBits_ * std::exp2((keyQuantizer_ - quantizer) / halvingSteps_);
}

int KeyFramePlanner::wantedQuantizer() const {
    return std::clamp(int(std::lround(*steady_)) - kKeyFrameStep, finestQuantizer_,
                      kCoarsestQuantizer);
}

void KeyFramePlanner::resize() {
    int wanted = baseKilobits_;
    if (keyQuantizer_ >= 0 && steady_) {
        const double detail = std::max(pictureDetail_, keyDetail_);
        const double bits = keyFrameBits(wantedQuantizer(), detail) / kKeyFrameShare;
        wanted = int(
            std::clamp(std::ceil(bits / 1000.0), double(baseKilobits_), double(largestKilobits_)));
    }
    // Small changes are not worth a new setting of x264's rate control.
    if (std::abs(wanted - bufferKilobits_) * 10 > bufferKilobits_ || wanted == baseKilobits_)
        bufferKilobits_ = wanted;
}

int KeyFramePlanner::keyFrameQuantizer(double detail, double stillSeconds) const {
    if (!planned_ || keyQuantizer_ < 0 || !steady_) return 0;
    // A cut to a much busier picture (noise after a page): its cost grows faster than its
    // detail, and x264's own estimate, from the picture itself, serves it better.
    if (detail > kBusierPicture * keyDetail_ && keyDetail_ > 0) return 0;
    const double share = stillSeconds >= kStillSeconds ? kStillKeyFrameShare : kKeyFrameShare;
    int quantizer = wantedQuantizer();
    while (quantizer < kCoarsestQuantizer && keyFrameBits(quantizer, detail) > share * fill_)
        ++quantizer;
    return quantizer;
}

double KeyFramePlanner::detail(const uint8_t* luma, int width, int height, int stride) {
    if (width < 2 || height < 1) return 0;
    int64_t sum = 0, count = 0;
    for (int y = 0; y < height; y += 8) {
        const uint8_t* row = luma + ptrdiff_t(y) * stride;
        for (int x = 1; x < width; ++x) sum += std::abs(int(row[x]) - int(row[x - 1]));
        count += width - 1;
    }
    // Never 0 for a picture: a flat one still costs its headers.
    return std::max(0.05, double(sum) / double(count));
}

}  // namespace vx
