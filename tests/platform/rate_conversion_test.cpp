// Audio captured at a rate the framework takes and converted to the rate asked for:
// the rate asked of the framework, and the output frames over blocks of any size.
#include "platform/rate_conversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace vx {
namespace {

// Odd block sizes, as a capture framework may deliver them.
const std::vector<int64_t> kOddBlocks = {1, 480, 1023, 7, 4096, 441, 960, 3, 2047, 1024};

int64_t expectedFrames(int64_t inputFrames, int64_t inputRate, int64_t outputRate) {
    return int64_t(static_cast<__int128>(inputFrames) * outputRate / inputRate);
}

TEST(RateConversionTest, CapturesAtATakenRateAndConvertsOnlyWhenItDiffers) {
    struct Case {
        int64_t requested;
        int64_t captured;
    } cases[] = {
        {44100, 48000}, {22050, 24000},  {96000, 48000},      {48000, 48000}, {11025, 16000},
        {8000, 8000},   {16000, 16000},  {24000, 24000},      {1, 8000},      {8001, 16000},
        {32000, 48000}, {192000, 48000}, {2147483647, 48000},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(RateConversion::captureRate(c.requested), c.captured) << c.requested;
        RateConversion conversion(RateConversion::captureRate(c.requested), c.requested);
        EXPECT_EQ(conversion.converts(), c.requested != c.captured) << c.requested;
    }
}

TEST(RateConversionTest, ChannelsTheFrameworkDoesNotTakeAreCapturedAsTheNearestItDoes) {
    struct Case {
        int64_t requested;
        int64_t captured;
    } cases[] = {{0, 1}, {1, 1}, {2, 2}, {3, 2}, {6, 2}, {64, 2}};
    for (const Case& c : cases)
        EXPECT_EQ(RateConversion::captureChannels(c.requested), c.captured) << c.requested;
}

// Every prefix of a long run of odd blocks gives exactly rate x time: the fraction
// of a frame each block leaves is carried into the next one, never lost or rounded up.
TEST(RateConversionTest, OutputIsExactlyRateTimesTimeOverALongRun) {
    struct Case {
        int64_t from, to;
    } cases[] = {{48000, 44100}, {24000, 22050}, {48000, 96000},     {16000, 11025},
                 {48000, 48000}, {8000, 7},      {48000, 2147483647}};
    for (const Case& c : cases) {
        RateConversion conversion(c.from, c.to);
        int64_t input = 0, output = 0;
        // An hour of capture at the input rate (for the 8000 Hz case, more).
        for (int64_t block = 0; input < c.from * 3600; ++block) {
            const int64_t frames = kOddBlocks[block % kOddBlocks.size()];
            const int64_t request = conversion.framesToRequest(frames);
            ASSERT_LE(request, conversion.capacity(frames));
            conversion.delivered(request);
            input += frames;
            output += request;
            ASSERT_EQ(output, expectedFrames(input, c.from, c.to))
                << c.from << " -> " << c.to << " after " << input << " frames";
        }
        EXPECT_EQ(conversion.owed(), 0);
    }
}

// A sample-rate converter keeps some frames back in its filter: what it did not
// deliver is asked for again with the next block, so the run stays rate x time
// except for what it is still holding.
TEST(RateConversionTest, FramesAConverterHeldBackAreAskedForAgain) {
    RateConversion conversion(48000, 44100);
    constexpr int64_t kHeldBack = 37;
    int64_t input = 0, output = 0;
    bool primed = false;
    for (int block = 0; block < 10000; ++block) {
        const int64_t frames = kOddBlocks[block % kOddBlocks.size()];
        const int64_t request = conversion.framesToRequest(frames);
        // The converter's first answer lacks the frames its filter keeps.
        int64_t given = request;
        if (!primed && request >= kHeldBack) {
            given = request - kHeldBack;
            primed = true;
        }
        conversion.delivered(given);
        input += frames;
        output += given;
    }
    EXPECT_EQ(output, expectedFrames(input, 48000, 44100));
}

TEST(RateConversionTest, AConverterThatKeepsDeliveringLessDoesNotMakeTheRequestGrow) {
    RateConversion conversion(48000, 44100);
    int64_t largest = 0;
    for (int block = 0; block < 5000; ++block) {
        const int64_t request = conversion.framesToRequest(480);
        EXPECT_LE(request, conversion.capacity(480));
        largest = std::max(largest, request);
        // A converter that delivers a handful of frames whatever it is asked for.
        conversion.delivered(std::min<int64_t>(request, 10));
    }
    // 480 frames give 441; a tenth of a second (4410 frames) may be owed at most.
    EXPECT_EQ(largest, conversion.capacity(480));
    EXPECT_EQ(conversion.capacity(480), 441 + 4410);
}

TEST(RateConversionTest, EmptyAndNegativeBlocksAskForNothingNew) {
    RateConversion conversion(48000, 44100);
    EXPECT_EQ(conversion.framesToRequest(0), 0);
    EXPECT_EQ(conversion.framesToRequest(-5), 0);
    // One frame at 48000 -> 44100 is 0.91875 of an output frame: nothing yet, then
    // the carried fraction completes one with the next frame.
    EXPECT_EQ(conversion.framesToRequest(1), 0);
    EXPECT_EQ(conversion.framesToRequest(1), 1);
    conversion.delivered(1);
    EXPECT_EQ(conversion.owed(), 0);
    // More than requested cannot be delivered: the count does not go below zero.
    conversion.delivered(5);
    EXPECT_EQ(conversion.owed(), 0);
}

}  // namespace
}  // namespace vx
