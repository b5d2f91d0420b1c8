#pragma once
// Audio asked for at a rate the capture framework does not take (ScreenCaptureKit
// takes 8000, 16000, 24000 and 48000 Hz and silently uses 48000 for any other) is
// captured at one it takes and converted. This is the arithmetic of that: which
// rate and channel count to ask the framework for, how many frames to ask the
// converter for after each captured block, and how much room their output needs.
//
// Over any run the frames asked for are exactly floor(captured x outputRate /
// inputRate): the fraction is carried from block to block, so nothing drifts.
// Frames the converter did not deliver (what its filter holds back) are asked for
// again with the next block, up to a bound; beyond it they are given up, so a
// converter that keeps delivering less never makes the request grow.
//
// One per audio output, used on that output's queue only.
#include <cstdint>

namespace vx {

class RateConversion {
public:
    static constexpr int64_t kCaptureRates[] = {8000, 16000, 24000, 48000};
    static constexpr int64_t kMaxCaptureChannels = 2;

    // The lowest rate the framework takes that is not below requested (no
    // conversion when it is one of them, the least conversion otherwise), or the
    // highest one for requests above it.
    static int64_t captureRate(int64_t requested);
    // requested, within 1 to kMaxCaptureChannels. The output still has the requested
    // count: further channels repeat the last captured one (the writer does that).
    static int64_t captureChannels(int64_t requested);

    // inputRate: the captured rate, outputRate: the rate asked for; both >= 1.
    RateConversion(int64_t inputRate, int64_t outputRate);

    int64_t inputRate() const { return inputRate_; }
    int64_t outputRate() const { return outputRate_; }
    bool converts() const { return inputRate_ != outputRate_; }

    // A block of inputFrames (>= 0) captured frames has come: the output frames to
    // ask the converter for now, those that became due with it plus those still
    // owed, at most capacity(inputFrames).
    int64_t framesToRequest(int64_t inputFrames);
    // The converter delivered outputFrames of the frames last requested.
    void delivered(int64_t outputFrames);

    // Output frames a block of inputFrames may be asked for: its own share rounded
    // up and the most that may be owed from earlier blocks.
    int64_t capacity(int64_t inputFrames) const;
    // Frames owed from earlier blocks that the next request asks for again.
    int64_t owed() const { return owed_; }

private:
    int64_t inputRate_;
    int64_t outputRate_;
    int64_t maxOwed_;  // a tenth of a second of output
    // Captured frames x outputRate not yet a whole output frame, < inputRate.
    int64_t remainder_ = 0;
    int64_t owed_ = 0;  // requested and not delivered
};

}  // namespace vx
