// The plan for key frames under a bit rate: x264 keeps its own choice until the cost of a
// key frame is known; then a key frame comes one quantizer step finer than the frames
// before it, in a buffer grown to hold it (for the picture as it looks now, never past
// the largest), and coarser only where what the buffer holds by now cannot pay for it
// (half of it; nearly all of it on a still screen).
#include "platform/linux/x264/key_frame_planner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace vx {
namespace {

constexpr int kRate = 1000, kFps = 60, kBase = 500, kLargest = 2000, kFinest = 10;

KeyFramePlanner planner() { return KeyFramePlanner(kRate, kFps, kBase, kLargest, kFinest); }

// P frames of `bits` at `quantizer`, one every 1/kFps s from `from` for `seconds`; the
// time after the last.
double frames(KeyFramePlanner& p, double from, double seconds, int64_t bits, double quantizer) {
    double t = from;
    for (int i = 0; i < int(std::lround(seconds * kFps)); ++i) {
        t += 1.0 / kFps;
        p.coded(t, bits, false, quantizer);
    }
    return t;
}

TEST(KeyFramePlanner, LeavesKeyFramesToX264UntilItKnowsWhatTheyCost) {
    struct Case {
        const char* name;
        int fps;
        int base;
        bool key;
        double quantizer;  // of every frame
    } cases[] = {
        {"nothing coded", kFps, kBase, false, -1},
        {"no key frame yet", kFps, kBase, false, 26},
        {"quantizers not told", kFps, kBase, true, -1},
        // Fewer than five frames' share in the buffer: x264 lets a frame take all of it.
        {"buffer of two frames at fps 1", 1, 2 * kRate, true, 26},
    };
    for (const Case& c : cases) {
        KeyFramePlanner p(kRate, c.fps, c.base, kLargest, kFinest);
        if (c.key) p.coded(0, 200000, true, c.quantizer);
        for (int i = 1; i <= 3 * c.fps; ++i) p.coded(double(i) / c.fps, 5000, false, c.quantizer);
        EXPECT_EQ(p.keyFrameQuantizer(0), 0) << c.name;
        EXPECT_EQ(p.bufferKilobits(), c.base) << c.name;
    }
}

TEST(KeyFramePlanner, TheFirstFrameFindsTheFirstBufferAndTheNextOnesTheirOwn) {
    KeyFramePlanner p(kRate, kFps, kBase, kLargest, kFinest, 2 * kBase);
    EXPECT_EQ(p.bufferKilobits(), 2 * kBase);
    EXPECT_EQ(p.keyFrameQuantizer(0), 0);  // the first key frame is x264's choice
    p.coded(0, 700000, true, 30, 10);
    EXPECT_EQ(p.bufferKilobits(), kBase);  // until the frames after it tell what to plan for
}

TEST(KeyFramePlanner, OneStepFinerThanTheFramesBeforeOnceTheBufferHasFilled) {
    KeyFramePlanner p = planner();
    p.coded(0, 200000, true, 30);
    frames(p, 0, 1.5, 5000, 26);
    EXPECT_EQ(p.keyFrameQuantizer(0), 25);
    // Room for twice that key frame (the bits halve every 8 steps until measured).
    const double keyBits = 200000 * std::exp2((30 - 25) / 8.0);
    EXPECT_GE(p.bufferKilobits() * 1000.0, 2 * keyBits);
    EXPECT_LT(p.bufferKilobits() * 1000.0, 2.2 * keyBits);
}

TEST(KeyFramePlanner, CoarserWhereTheBufferCannotPayForIt) {
    struct Case {
        const char* name;
        int64_t keyBits;
        double seconds;  // of frames since the key frame
        double framesQuantizer;
        int quantizer;       // of the next key frame
        int buffer;          // kbit
        double detail = 10;  // of the next key frame's picture; the last one's: 10
        double still = 0;    // seconds the picture has not changed
        double noted = 0;    // detail of the picture noted after the key frame; 0: none
    } cases[] = {
        // 0.1 s after a key frame the buffer holds 450 - 200 + 6 x (16.7 - 5) kbit: a key
        // frame of at most half of that, q 33, not 25.
        {"soon after a key frame", 200000, 0.1, 26, 33, 617},
        // A key frame at q 19 would need 2.9 Mbit of buffer: the largest (2 Mbit, full
        // after 3 s) holds one at q 35.
        {"larger than the largest buffer", 1500000, 3.0, 20, 35, kLargest},
        // A still screen's key frame may take 90 % of the buffer, not half: q 28 in the
        // largest; a picture still for less than half a second is not a still screen.
        {"a still picture", 1500000, 3.0, 20, 28, kLargest, 10, 1.0},
        {"a picture still for a moment", 1500000, 3.0, 20, 35, kLargest, 10, 0.3},
        // A picture of 1.4 times the detail: 1.4 times the bits at a quantizer, q 29 in the
        // full buffer of 617 kbit that held one at q 25.
        {"a little more detail", 200000, 1.5, 26, 29, 617, 14},
        // The same picture, its detail noted soon after the last key frame: the buffer grew
        // for it in time, 864 kbit, and it comes at q 25 again (a calmer picture noted
        // after it does not shrink the buffer).
        {"a little more detail, noted before", 200000, 1.5, 26, 25, 864, 14, 0, 14},
        // A cut to one of three times the detail: left to x264, which sees the picture.
        {"a cut to a busier picture", 200000, 1.5, 26, 0, 617, 30},
    };
    for (const Case& c : cases) {
        KeyFramePlanner p = planner();
        p.coded(0, c.keyBits, true, 30, 10);
        if (c.noted > 0) p.pictureDetail(c.noted), p.pictureDetail(c.noted / 2);
        frames(p, 0, c.seconds, 5000, c.framesQuantizer);
        EXPECT_EQ(p.keyFrameQuantizer(c.detail, c.still), c.quantizer) << c.name;
        EXPECT_EQ(p.bufferKilobits(), c.buffer) << c.name;
    }
}

TEST(KeyFramePlanner, DetailIsTheMeanStepBetweenNeighboursAlongEveryEighthRow) {
    struct Case {
        const char* name;
        uint8_t even, odd;  // pixels of even and odd columns in rows 0, 8, 16, ...
        double detail;
    } cases[] = {
        {"flat", 128, 128, 0.05},  // never 0
        {"stripes", 0, 200, 200},
        {"faint stripes", 100, 104, 4},
    };
    constexpr int kWidth = 33, kHeight = 17, kStride = 40;
    for (const Case& c : cases) {
        std::vector<uint8_t> luma(size_t(kStride) * kHeight, 255);  // other rows: ignored
        for (int y = 0; y < kHeight; y += 8)
            for (int x = 0; x < kWidth; ++x) luma[size_t(y * kStride + x)] = x % 2 ? c.odd : c.even;
        EXPECT_DOUBLE_EQ(KeyFramePlanner::detail(luma.data(), kWidth, kHeight, kStride), c.detail)
            << c.name;
    }
}

TEST(KeyFramePlanner, LearnsHowFastKeyFramesShrinkFromTheLastTwo) {
    KeyFramePlanner p = planner();
    p.coded(0, 200000, true, 30);
    double t = frames(p, 0, 2, 5000, 23);
    // Text at fine quantizers: 8 steps finer cost only 1.41 times the bits (16 steps
    // halve them), not twice.
    p.coded(t + 1.0 / kFps, 283000, true, 22);
    frames(p, t + 1.0 / kFps, 2, 5000, 14);
    EXPECT_EQ(p.keyFrameQuantizer(0), 13);
    const double keyBits = 283000 * std::exp2((22 - 13) / 16.0);
    EXPECT_NEAR(p.bufferKilobits() * 1000.0, 2 * keyBits, 0.1 * keyBits);
}

}  // namespace
}  // namespace vx
