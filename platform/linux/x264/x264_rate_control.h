#pragma once
// Chooses the quantizer of every frame for an x264 encoder opened with a constant
// quantizer, so that the stream keeps to an average bit rate through a VBV buffer of
// half a second at that rate. x264's own average-rate control analyses a half-size
// copy of every frame to predict its cost, a quarter of x264's time on a moving
// screen; this one predicts from what the frames before cost and from how many
// macroblocks the capture says changed.
//
// The model: a macroblock costs about complexity x 2^(-quantizer / 6) bits, with one
// complexity for key frames, one for macroblocks that changed, and one for unchanged
// macroblocks coded again finer; each is learned from the frames that came out. The
// buffer fills at the bit rate and drains by each frame; a frame aims at what the
// buffer can give and never at more than it holds.
//
// x264 skips a macroblock marked unchanged only where its reference frame was coded
// at no finer a quantizer (it records the frame's quantizer for every macroblock,
// skipped or not). So a frame finer than the one before is coded whole, and the
// quantizer is lowered only as far as the whole picture fits the frame's share of the
// buffer, or a step when the buffer is full: on a screen with small changes that the
// rate could not pay to code whole finer, it holds, and every unchanged macroblock
// stays skipped. It never goes below kMinQuantizer, which is finer than the eye tells
// apart on screen content; below it x264 would spend the bit rate re-coding unchanged
// parts ever more finely.
//
// Not thread-safe: used on the encoder's queue only.
#include <cstdint>
#include <optional>

namespace vx {

class X264RateControl {
public:
    static constexpr int kMinQuantizer = 10;

    // bitsPerSecond > 0, framesPerSecond > 0, macroblocks > 0: the frame's size;
    // the quantizers x264 takes, of which those below kMinQuantizer go unused.
    X264RateControl(int64_t bitsPerSecond, int framesPerSecond, int macroblocks, int finest,
                    int coarsest);

    // The quantizer for the next frame. changed: how many of its macroblocks may
    // differ from the frame before (all of them when not known); previous: the
    // quantizer of the frame before (< 0: none since the start).
    int quantizer(bool keyFrame, int changed, int previous) const;

    // A frame came out: its size in bits, its quantizer, whether it was a key frame,
    // how many of its macroblocks changed, and whether x264 coded it whole (a key
    // frame, or finer than the frame before).
    void frameDone(int64_t bits, int quantizer, bool keyFrame, int changed, bool whole);

    // For a frame that came out, not a key frame, and would empty the buffer (the
    // screen turned to much harder content at once): the quantizer at which a key
    // frame of the picture would fit, when that is far coarser. The frame is then
    // better dropped unseen and the picture coded again as that key frame, whose
    // frameDone() follows. Otherwise nothing, and the frame's frameDone() follows.
    std::optional<int> keyFrameInstead(int64_t bits, int quantizer, int changed, bool whole);

    // What the buffer holds now, in bits (for tests).
    double fullness() const { return fullness_; }
    double bufferSize() const { return bufferSize_; }

private:
    // What is learned: bits per macroblock at quantizer 0, and whether anything was.
    struct Complexity {
        double bits;
        bool learned = false;
        void learn(double observed, double share);
    };

    // Bits the model predicts at quantizer q for a key frame, for `changed`
    // macroblocks alone, or for a whole frame with `changed` of them changed.
    double predicted(bool keyFrame, int changed, bool whole, int q) const;
    void learn(int64_t bits, int quantizer, bool keyFrame, int changed, bool whole, double share);

    double bitsPerFrame_;
    double bufferSize_;
    double fullness_;
    int macroblocks_;
    int finest_;
    int coarsest_;
    Complexity key_;
    Complexity changed_;
    Complexity codedAgain_;  // unchanged macroblocks coded finer
};

}  // namespace vx
