// The quantizer choice for x264, against a model encoder whose frames cost what
// screen content costs: it keeps to the rate without emptying its buffer, holds the
// quantizer while small changes come (so x264 keeps skipping what did not change),
// and lowers it only where the picture is coded whole anyway.
#include "platform/linux/x264/x264_rate_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace vx {
namespace {

constexpr int64_t kRate = 18000000;
constexpr int kFps = 60;
constexpr int kMacroblocks = 8160;  // 1920x1080
constexpr int kKeyInterval = 120;

// What a kind of content costs: bits per changed macroblock at quantizer 0, and how
// many quantizer steps halve that (6 for camera pictures, more for text, whose
// sharp edges keep costing at coarse quantizers). A key frame costs three times as
// much, an unchanged macroblock coded again finer a quarter.
struct Content {
    const char* name;
    double bitsPerMacroblock;
    double stepsPerHalving;
    double codedAgainShare = 0.25;
    int64_t bits(bool key, int changed, bool whole, int q) const {
        const double perBlock = bitsPerMacroblock * std::exp2(-q / stepsPerHalving);
        const double blocks =
            key ? 3.0 * kMacroblocks
                : changed + (whole ? codedAgainShare * (kMacroblocks - changed) : 0.0);
        return int64_t(perBlock * blocks) + 400;  // and the headers
    }
};

struct Frame {
    int q;
    int64_t bits;
    bool key;
    bool whole;      // coded whole: key, or finer than the frame before
    bool underflow;  // cost more than the buffer held with this frame's share
};

// Runs the rate control over `count` frames of content, `changed` macroblocks of each
// changing (all of them on key frames), with x264's rule for what gets coded.
std::vector<Frame> run(X264RateControl& control, const Content& content, int count, int changed,
                       int previous = -1, int firstIndex = 0) {
    std::vector<Frame> frames;
    for (int i = firstIndex; i < firstIndex + count; ++i) {
        const bool key = i % kKeyInterval == 0;
        const int q = control.quantizer(key, changed, previous);
        const bool whole = key || previous < 0 || q < previous;
        int64_t bits = content.bits(key, changed, whole, q);
        int used = q;
        const double held = control.fullness() + double(kRate) / kFps;
        std::optional<int> again;
        if (!key) again = control.keyFrameInstead(bits, q, changed, whole);
        if (again) {  // dropped, and coded again as a key frame
            used = *again;
            bits = content.bits(true, kMacroblocks, true, used);
            control.frameDone(bits, used, true, kMacroblocks, true);
        } else {
            control.frameDone(bits, q, key, changed, whole);
        }
        frames.push_back({used, bits, key || used != q, whole || used != q, double(bits) > held});
        previous = used;
    }
    return frames;
}

X264RateControl control(int finest = 0, int coarsest = 51) {
    return X264RateControl(kRate, kFps, kMacroblocks, finest, coarsest);
}

TEST(X264RateControl, KeepsToTheRateWithoutEverEmptyingTheBuffer) {
    const Content contents[] = {
        {"scrolling text", 180, 6},
        {"scaled text", 2000, 6},
        {"text on a flat curve", 150, 15},
        {"camera picture", 5000, 6},
    };
    for (const Content& content : contents) {
        SCOPED_TRACE(content.name);
        X264RateControl rateControl = control();
        const auto frames = run(rateControl, content, 10 * kFps, kMacroblocks);
        double total = 0, lastEight = 0;
        for (size_t i = 0; i < frames.size(); ++i) {
            // The first frame has nothing to learn from yet.
            if (i > 0) {
                EXPECT_FALSE(frames[i].underflow) << "frame " << i << " emptied the buffer";
            }
            total += double(frames[i].bits);
            if (i >= size_t(2 * kFps)) lastEight += double(frames[i].bits);
        }
        // The buffer starts full: beyond the rate, at most what it held.
        EXPECT_LE(total, kRate * 10.0 + rateControl.bufferSize());
        EXPECT_LE(lastEight / 8, kRate * 1.01);
        EXPECT_GE(lastEight / 8, kRate * 0.8) << "content that needs the rate gets it";
    }
}

TEST(X264RateControl, ContentThatNeedsLessThanTheRateIsCodedAtTheFinestQuantizer) {
    // Whole pictures, and small changes (which reach it by way of the full buffer).
    for (int changed : {kMacroblocks, kMacroblocks / 6}) {
        SCOPED_TRACE(changed);
        X264RateControl rateControl = control(4, 51);
        const auto frames = run(rateControl, {"light", 40, 6}, 3 * kFps, changed);
        for (size_t i = kFps; i < frames.size(); ++i) {
            EXPECT_EQ(frames[i].q, X264RateControl::kMinQuantizer) << "frame " << i;
        }
    }
}

TEST(X264RateControl, SmallChangesRarelyHaveThePictureCodedWhole) {
    // A terminal's worth of changed blocks, from a start at a coarse quantizer (as after
    // a burst of motion). Coding the picture finer has x264 code every block again, so
    // it happens only while the picture is still coarser than the rate pays for; then
    // the quantizer holds, and the unchanged blocks stay skipped.
    const Content contents[] = {
        {"light", 100, 6}, {"heavy", 3000, 6}, {"heavy, dear to code again", 3000, 6, 1.0}};
    for (const Content& content : contents) {
        SCOPED_TRACE(content.name);
        X264RateControl rateControl = control();
        const auto frames = run(rateControl, content, 4 * kFps, kMacroblocks / 6, 30, 1);
        int codedWhole = 0;
        for (size_t i = 0; i < frames.size(); ++i) {
            codedWhole += !frames[i].key && frames[i].whole;
            EXPECT_FALSE(frames[i].underflow) << "frame " << i;
        }
        EXPECT_LE(codedWhole, int(frames.size()) / 10);
        EXPECT_FALSE(frames[frames.size() - 2].whole) << "the quantizer settled";
    }
}

TEST(X264RateControl, ARepeatIsCodedFinerOnlyWhenTheWholePictureFitsFiner) {
    struct Case {
        Content content;
        int previous;
        int lowest, highest;  // for the repeat
    };
    // After a frame of the content changing whole and one coded again whole finer.
    const Case cases[] = {
        {{"light", 100, 6}, 24, 10, 23},
        {{"light", 100, 6}, 10, 10, 10},
        {{"heavy", 8000, 6, 1.0}, 24, 24, 24},  // the buffer, drained, could not pay for it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.content.name) + " after " + std::to_string(c.previous));
        X264RateControl rateControl = control();
        rateControl.frameDone(c.content.bits(false, kMacroblocks, true, c.previous + 2),
                              c.previous + 2, false, kMacroblocks, true);
        rateControl.frameDone(c.content.bits(false, 0, true, c.previous), c.previous, false, 0,
                              true);
        const int q = rateControl.quantizer(false, 0, c.previous);
        EXPECT_GE(q, c.lowest);
        EXPECT_LE(q, c.highest);
    }
}

TEST(X264RateControl, AKeyFrameIsNoMoreThanAStepFinerThanTheFrameBefore) {
    X264RateControl rateControl = control();
    EXPECT_EQ(rateControl.quantizer(true, 0, 35), 32);
    EXPECT_LT(rateControl.quantizer(true, 0, -1), 32) << "the first frame is set by the buffer";
}

TEST(X264RateControl, AMuchHarderPictureIsCodedAgainAsAKeyFrameThatFits) {
    // A light page moving, then a film filling the screen.
    X264RateControl rateControl = control();
    const auto before = run(rateControl, {"page", 60, 6}, kFps, kMacroblocks);
    const auto after =
        run(rateControl, {"film", 8000, 6}, 2 * kFps, kMacroblocks, before.back().q, kFps + 1);
    EXPECT_TRUE(after[0].key) << "the first film frame, coded again";
    double total = 0;
    for (size_t i = 0; i < after.size(); ++i) {
        if (i > 0) {
            EXPECT_FALSE(after[i].underflow) << "frame " << i << " after the change";
        }
        EXPECT_TRUE(i == 0 || !after[i].key || (kFps + 1 + i) % kKeyInterval == 0)
            << "frame " << i << " coded twice";
        total += double(after[i].bits);
    }
    // Past the key frame coded again, what the buffer held and the rate.
    EXPECT_LE(total - double(after[0].bits), kRate * 2.0 + rateControl.bufferSize());
}

TEST(X264RateControl, StaysInsideTheQuantizersX264Takes) {
    X264RateControl wide = control(0, 51);
    X264RateControl narrow = control(12, 40);
    const auto heavy = run(narrow, {"too heavy", 1e6, 6}, kFps, kMacroblocks);
    const auto light = run(wide, {"light", 1, 6}, kFps, kMacroblocks);
    for (const Frame& f : heavy) EXPECT_LE(f.q, 40);
    for (const Frame& f : light) EXPECT_GE(f.q, X264RateControl::kMinQuantizer);
    EXPECT_EQ(heavy.back().q, 40);
}

}  // namespace
}  // namespace vx
