#include "platform/keyframe_clock.h"

#include <gtest/gtest.h>

#include <vector>

namespace vx {
namespace {

Time ms(int64_t milliseconds) { return Time{milliseconds, 1000}; }

// Feeds frames at the given times, producing a key frame whenever one is due, and
// returns the indexes of the key frames. With `fresh`, every frame not marked in it is a
// repeat of the picture before.
std::vector<int> keyFrames(KeyframeClock& clock, const std::vector<int64_t>& times,
                           const std::vector<bool>& fresh = {}) {
    std::vector<int> keys;
    for (int i = 0; i < int(times.size()); ++i) {
        const bool repeat = !fresh.empty() && !fresh[size_t(i)];
        if (clock.due(ms(times[i]), repeat)) {
            keys.push_back(i);
            clock.keyFrameProduced(ms(times[i]));
        }
    }
    return keys;
}

std::vector<int64_t> evenly(int count, int64_t stepMs) {
    std::vector<int64_t> times;
    for (int i = 0; i < count; ++i) times.push_back(i * stepMs);
    return times;
}

TEST(KeyframeClockTest, FrameCountOrPresentationTimeWhicheverComesFirst) {
    struct Case {
        const char* name;
        int fps;
        std::vector<int64_t> times;
        std::vector<int> keys;
    } cases[] = {
        // 10 fps delivered at 10 fps: 20 frames = 2 s, both limits at once.
        {"steady", 10, evenly(45, 100), {0, 20, 40}},
        // Frames faster than asked: the frame count wins (20 frames in 1 s).
        {"fast frames", 10, evenly(45, 50), {0, 20, 40}},
        // A still screen sends few frames: 2 s of presentation time wins.
        {"slow frames", 10, evenly(9, 500), {0, 4, 8}},
        // A long gap: the first frame after it is a key frame.
        {"gap", 30, {0, 33, 66, 5000, 5033}, {0, 3}},
        // Just under 2 s is not yet due; exactly 2 s is.
        {"boundary", 1, {0, 1999, 2000}, {0, 2}},
        // Presentation time that goes backwards starts a new time line.
        {"backwards", 30, {1000, 1033, 500, 533}, {0, 2}},
    };
    for (const Case& c : cases) {
        KeyframeClock clock(c.fps);
        EXPECT_EQ(keyFrames(clock, c.times), c.keys) << c.name;
    }
}

TEST(KeyframeClockTest, RepeatsOfTheSamePictureDoNotCountAsFrames) {
    struct Case {
        const char* name;
        KeyframeClock clock;
        std::vector<int64_t> times;
        std::vector<bool> fresh;
        std::vector<int> keys;
    } cases[] = {
        // A still screen resent every 100 ms at fps 1: two frames' worth of repeats
        // would make a key frame every 200 ms; presentation time makes one every 2 s.
        {"still at fps 1",
         KeyframeClock(1),
         evenly(45, 100),
         std::vector<bool>(45, false),
         {0, 20, 40}},
        // New pictures among repeats: only the new ones count (every fourth here).
        {"some new",
         KeyframeClock(1),
         evenly(20, 100),
         {true,  false, false, false, true,  false, false, false, true,  false,
          false, false, true,  false, false, false, true,  false, false, false},
         {0, 8, 16}},
        // Limits given: 3 new pictures, no time limit; repeats never make one due.
        {"limits",
         KeyframeClock(3, std::nullopt),
         evenly(10, 1000),
         {true, true, false, false, false, true, true, true, false, false},
         {0, 6}},
        // A time limit alone counts presentation time, repeats or not.
        {"seconds",
         KeyframeClock(1000, int64_t(1)),
         evenly(7, 400),
         std::vector<bool>(7, false),
         {0, 3, 6}},
    };
    for (Case& c : cases)
        EXPECT_EQ(keyFrames(c.clock, c.times, c.fresh), c.keys) << c.name;
}

TEST(KeyframeClockTest, KeyFrameMadeElsewhereRestartsTheCount) {
    KeyframeClock clock(10);
    EXPECT_TRUE(clock.due(ms(0)));
    clock.keyFrameProduced(ms(0));
    for (int i = 1; i < 15; ++i) EXPECT_FALSE(clock.due(ms(i * 100)));
    // The encoder chose a key frame by itself at 1.5 s.
    clock.keyFrameProduced(ms(1500));
    for (int i = 16; i < 35; ++i) EXPECT_FALSE(clock.due(ms(i * 100))) << i;
    EXPECT_TRUE(clock.due(ms(3500)));
}

TEST(KeyframeClockTest, NotToldOfTheKeyFrameKeepsAskingForOne) {
    KeyframeClock clock(10);
    clock.due(ms(0));
    clock.keyFrameProduced(ms(0));
    for (int i = 1; i < 20; ++i) clock.due(ms(i * 100));
    // The encoder dropped the forced frame: every next frame stays due.
    EXPECT_TRUE(clock.due(ms(2000)));
    EXPECT_TRUE(clock.due(ms(2100)));
}

TEST(KeyframeClockTest, ResetMakesTheNextFrameAKeyFrame) {
    KeyframeClock clock(30);
    clock.due(ms(0));
    clock.keyFrameProduced(ms(0));
    EXPECT_FALSE(clock.due(ms(33)));
    clock.reset();
    EXPECT_TRUE(clock.due(ms(66)));
}

TEST(KeyframeClockTest, TimescalesAndHugeValuesDoNotOverflow) {
    KeyframeClock clock(60);
    Time start{INT64_MAX - 10'000'000'000, 1'000'000'000};
    EXPECT_TRUE(clock.due(start));
    clock.keyFrameProduced(start);
    // 1 s later on a 600 timescale is the same instant on another scale.
    Time later{(INT64_MAX - 10'000'000'000) / 1'000'000'000 * 600 + 600, 600};
    EXPECT_FALSE(clock.due(later));
    // A frame at the very end of the range is far past 2 s.
    EXPECT_TRUE(clock.due(Time{INT64_MAX, 1'000'000'000}));
}

}  // namespace
}  // namespace vx
