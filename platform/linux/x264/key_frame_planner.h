#pragma once
// Plans what a key frame may cost under a bit rate, so that a periodic key frame keeps
// the quality the frames before it reached instead of the coarse quantizer x264's own
// rate control gives it (x264 predicts a key frame's size cautiously and lets it take
// at most half of what its buffer holds).
//
// From the frames coded it learns the quantizer the stream holds (a time-weighted mean
// over about half a second) and what the last key frame cost at its quantizer and for
// the detail of its picture (the bits halve for every few steps of quantizer, how many
// learnt from the last two, and grow with the detail: a cut to another picture costs
// what that picture costs). From these it sizes the rate buffer so that a key frame one
// step finer than the frames before, of the picture as it looks now, fits in half of it,
// between the buffer the stream opened with and the largest one allowed; and it picks the
// quantizer of the next key frame: that step, or coarser where what the buffer holds
// by now cannot pay for it. It follows the buffer as x264 does: it fills with the
// rate of the presentation time passed and empties by each frame's bits.
//
// The first key frame is left to x264 (nothing is known yet; the stream may open with a
// larger buffer for it, as nothing has been spent), and so is every key
// frame when the quantizers of the frames are unknown, when its picture is much busier
// than the last key frame's (a cut: x264 estimates from the picture itself), or when
// the buffer holds fewer than five frames' share of the rate (x264 then lets a frame
// take all of it).
//
// Used on the encoder's thread only; no allocation.
#include <cstdint>
#include <optional>

namespace vx {

class KeyFramePlanner {
public:
    // kilobitsPerSecond > 0 at fps frames a second; the buffer starts at firstKilobits
    // (0: baseKilobits), 90 % full (as x264's), for the stream's first frame; from then on
    // it is sized as above, never below baseKilobits nor past largestKilobits;
    // finestQuantizer: the smallest x264 may use.
    KeyFramePlanner(int kilobitsPerSecond, int fps, int baseKilobits, int largestKilobits,
                    int finestQuantizer, int firstKilobits = 0);

    // A frame came out of x264: its presentation time, size, whether it is a key frame
    // and its mean quantizer (negative: unknown); for a key frame, the detail of its
    // picture (detail()).
    void coded(double seconds, int64_t bits, bool key, double quantizer, double detail = 0);

    // The detail (detail()) of the picture as it is now, noted now and then between key
    // frames: the buffer is sized for a key frame of the busiest picture noted since the
    // last key frame (or of that key frame's, if busier), so that it has filled when the
    // next key frame comes. It never shrinks between key frames: that would pour away
    // what it holds for the next one.
    void pictureDetail(double detail);

    // The rate buffer (kbit) x264 should have now.
    int bufferKilobits() const { return bufferKilobits_; }

    // The quantizer for a key frame of a picture of that detail coded next, or 0 to
    // leave it to x264. stillSeconds: how long the picture has not changed (0: it is
    // new); a picture still for a while may take nearly all the buffer holds, as the
    // repeats after it need next to nothing.
    int keyFrameQuantizer(double detail, double stillSeconds = 0) const;

    // How much detail the luma plane (width x height, rows `stride` apart) holds: the
    // mean step between neighbouring pixels along every eighth row. Cheap enough for
    // every key frame.
    static double detail(const uint8_t* luma, int width, int height, int stride);

private:
    // Bits of a key frame at quantizer of a picture of that detail, after the last one.
    double keyFrameBits(int quantizer, double detail) const;
    // The key frame's quantizer the frames before it call for.
    int wantedQuantizer() const;
    void resize();

    const double bitsPerSecond_;
    const bool planned_;  // false: x264's own choice throughout
    const int baseKilobits_;
    const int largestKilobits_;
    const int finestQuantizer_;
    int bufferKilobits_;
    double fill_;  // bits in the buffer after the last frame
    std::optional<double> lastSeconds_;
    std::optional<double> steady_;  // time-weighted mean quantizer of the frames
    // The last key frame: its bits and quantizer.
    double keyBits_ = 0;
    double keyQuantizer_ = -1;
    double keyDetail_ = 0;
    double pictureDetail_ = 0;  // of the busiest picture noted since the last key frame
    double halvingSteps_;  // quantizer steps that halve a key frame's bits
};

}  // namespace vx
