#include "platform/linux/x264/x264_rate_control.h"

#include <algorithm>
#include <cmath>

namespace vx {

namespace {
// Kept free in the buffer against a frame costing more than predicted.
constexpr double kMarginShare = 0.1;
// A frame other than a key frame spends this share of the buffer's fill above half.
constexpr double kSurplusShare = 1.0 / 8;
// Finer than the frame before by at most this much at a time, so that a wrong
// prediction costs one frame, not a burst.
constexpr int kMaxStepFiner = 4;
// How much finer than the frame before a key frame may be.
constexpr int kKeyFrameFiner = 3;
// Quantizer steps that halve a frame's size.
constexpr int kHalving = 6;
// The slowest halving of a frame's size seen on screen content (text), in steps.
constexpr int kCautiousHalving = 12;
// A buffer this full has nothing else to spend on.
constexpr double kFull = 0.95;
// Starting complexities, on the high side of screen content (text coded whole, and
// pictures from a camera), so that the first frames come out small rather than large.
constexpr double kInitialKey = 8000;
constexpr double kInitialChanged = 3000;
constexpr double kInitialCodedAgain = 1000;
// How much of a new observation goes into a complexity.
constexpr double kLearningShare = 0.5;

double scale(int q) { return std::exp2(double(q) / kHalving); }
}  // namespace

void X264RateControl::Complexity::learn(double observed, double share) {
    bits += (learned ? share : 1.0) * (observed - bits);  // the first replaces the guess
    learned = true;
}

X264RateControl::X264RateControl(int64_t bitsPerSecond, int framesPerSecond, int macroblocks,
                                 int finest, int coarsest)
    : bitsPerFrame_(double(bitsPerSecond) / framesPerSecond),
      bufferSize_(double(bitsPerSecond) / 2),
      fullness_(bufferSize_),
      macroblocks_(macroblocks),
      finest_(std::max(finest, kMinQuantizer)),
      coarsest_(std::max(coarsest, finest_)),
      key_{kInitialKey},
      changed_{kInitialChanged},
      codedAgain_{kInitialCodedAgain} {}

double X264RateControl::predicted(bool keyFrame, int changed, bool whole, int q) const {
    double bits;
    if (keyFrame)  // at least what the same picture costs predicted from the last
        bits = std::max(key_.bits, changed_.bits) * macroblocks_;
    else bits = changed_.bits * changed + (whole ? codedAgain_.bits * (macroblocks_ - changed) : 0);
    return bits / scale(q);
}

int X264RateControl::quantizer(bool keyFrame, int changed, int previous) const {
    changed = std::clamp(changed, 0, macroblocks_);
    const double most = std::max(1.0, fullness_ - kMarginShare * bufferSize_);
    // A full buffer means the screen leaves the rate unused: a key frame may take what
    // the buffer holds, and a picture is coded finer as far as it fits at once.
    const bool full = fullness_ >= bufferSize_ * kFull;
    double target = keyFrame ? (full ? most : most / 2)
                             : bitsPerFrame_ + (fullness_ - bufferSize_ / 2) * kSurplusShare;
    target = std::clamp(target, std::min(most, bitsPerFrame_ / 4), most);
    // The finest quantizer at which the frame fits the target.
    auto fitting = [&](bool key, bool whole) {
        int q = finest_;
        while (q < coarsest_ && predicted(key, changed, whole, q) > target) ++q;
        return q;
    };
    if (previous < 0) return fitting(true, true);
    // A key frame much finer than the frames around it would show as a pulse.
    if (keyFrame) return std::max(fitting(true, true), previous - kKeyFrameFiner);
    const int q = fitting(false, false);
    if (q >= previous) return q;
    // Finer than the frame before: x264 codes every macroblock again, so only as
    // fine as the whole picture fits, a few steps at a time unless the buffer is
    // full; or, when the buffer is full, a step anyway, which also teaches the model
    // what coding again costs.
    const int whole = fitting(false, true);
    if (whole < previous) return full ? whole : std::max(whole, previous - kMaxStepFiner);
    return full ? previous - 1 : previous;
}

void X264RateControl::frameDone(int64_t bits, int quantizer, bool keyFrame, int changed,
                                bool whole) {
    // Emptied, the buffer starts again from nothing (a decoder would wait for it): a
    // debt kept would hold later frames coarse for no reader's good.
    fullness_ = std::clamp(fullness_ - double(bits) + bitsPerFrame_, 0.0, bufferSize_);
    learn(bits, quantizer, keyFrame, changed, whole, kLearningShare);
}

std::optional<int> X264RateControl::keyFrameInstead(int64_t bits, int quantizer, int changed,
                                                    bool whole) {
    if (double(bits) <= fullness_ + bitsPerFrame_) return std::nullopt;
    learn(bits, quantizer, false, changed, whole, 1.0);  // the picture at hand, as it is
    // Far off the model already, so no trust in its halving every 6 steps: from what
    // the frame cost, as if the size halved only every kCautiousHalving steps, into
    // half the buffer; never less than half the size.
    const double target = std::max(1.0, fullness_ - kMarginShare * bufferSize_) / 2;
    const int steps = int(std::ceil(kCautiousHalving * std::log2(double(bits) / target)));
    const int q = std::min(quantizer + std::max(steps, kHalving), coarsest_);
    if (q < quantizer + kHalving / 2) return std::nullopt;  // too little left to gain
    return q;
}

void X264RateControl::learn(int64_t bits, int quantizer, bool keyFrame, int changed, bool whole,
                            double share) {
    // Parts of next to nothing say more about headers than about content.
    const int enough = std::max(1, macroblocks_ / 100);
    const double atZero = double(bits) * scale(quantizer);
    changed = std::clamp(changed, 0, macroblocks_);
    if (keyFrame) {
        key_.learn(atZero / macroblocks_, share);
        // Until a changed macroblock was seen, one costs what the key frame's did.
        if (!changed_.learned) changed_.bits = key_.bits;
    } else if (!whole || changed == macroblocks_) {
        if (changed >= enough) changed_.learn(atZero / changed, share);
    } else if (macroblocks_ - changed >= enough) {
        const double again = std::max(0.0, atZero - changed_.bits * changed);
        codedAgain_.learn(again / (macroblocks_ - changed), share);
    }
}

}  // namespace vx
