// The picture's place in the frame: even edges, aspect kept, centred, inside.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "platform/fitted_rect.h"

namespace vx {
namespace {

struct Case {
    const char* name;
    int64_t sourceWidth, sourceHeight, width, height;
    Rect expected;
};

TEST(FittedRectTest, PlacesThePictureOnEvenPixels) {
    const Case cases[] = {
        {"same aspect, larger source", 3840, 2160, 1920, 1080, {0, 0, 1920, 1080}},
        {"same aspect, smaller source", 1280, 720, 1920, 1080, {0, 0, 1920, 1080}},
        {"a 1512x982 display: x would be 128.55", 1512, 982, 1920, 1080, {128, 0, 1662, 1080}},
        {"4:3 into 16:9, pillar bars", 1440, 900, 1920, 1080, {96, 0, 1728, 1080}},
        {"wide source, letter bars of odd exact offset",
         2560,
         1080,
         1920,
         1080,
         {0, 134, 1920, 810}},
        {"tall source", 1080, 1920, 1920, 1080, {656, 0, 608, 1080}},
        {"wide source into a tall frame, exact size odd",
         1920,
         1080,
         720,
         1280,
         {0, 436, 720, 406}},
        {"odd source sizes", 1281, 721, 640, 360, {0, 0, 640, 360}},
        {"odd source", 1001, 1000, 640, 480, {80, 0, 480, 480}},
        {"odd frame uses its even part", 1920, 1080, 1281, 721, {0, 0, 1280, 720}},
        {"a very thin source keeps two pixels", 10000, 1, 64, 64, {0, 30, 64, 2}},
        {"a very tall source keeps two pixels", 1, 10000, 64, 64, {30, 0, 2, 64}},
        {"the smallest frame", 1920, 1080, 2, 2, {0, 0, 2, 2}},
        {"a tiny source", 3, 2, 16, 16, {0, 2, 16, 10}},
        {"a source with no size fills the frame", 0, 0, 1280, 720, {0, 0, 1280, 720}},
        {"a frame with no even part", 1920, 1080, 1, 720, {0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fittedRect(c.sourceWidth, c.sourceHeight, c.width, c.height), c.expected);
    }
}

// Across many sizes: every edge even, inside the frame, one axis filled, the other
// within one even step of the exact size, and the bars differ by at most 2 pixels.
TEST(FittedRectTest, HoldsItsPromisesAcrossSizes) {
    const int64_t sources[][2] = {{1512, 982},  {1366, 768},   {1280, 1024}, {2560, 1600},
                                  {3440, 1440}, {1080, 2400},  {801, 599},   {5, 3},
                                  {7, 1},       {65535, 65535}};
    const int64_t frames[][2] = {{1920, 1080},   {1280, 720},  {641, 481},     {2, 2},
                                 {16384, 16384}, {1080, 1920}, {2147483647, 2}};
    for (const auto& source : sources) {
        for (const auto& frame : frames) {
            SCOPED_TRACE(testing::Message() << source[0] << "x" << source[1] << " into " << frame[0]
                                            << "x" << frame[1]);
            const Rect r = fittedRect(source[0], source[1], frame[0], frame[1]);
            const double W = double(frame[0] & ~int64_t(1)), H = double(frame[1] & ~int64_t(1));
            for (double edge : {r.x, r.y, r.width, r.height})
                EXPECT_EQ(std::fmod(edge, 2.0), 0.0) << edge;
            EXPECT_GE(r.x, 0);
            EXPECT_GE(r.y, 0);
            EXPECT_GE(r.width, 2);
            EXPECT_GE(r.height, 2);
            EXPECT_LE(r.x + r.width, W);
            EXPECT_LE(r.y + r.height, H);
            EXPECT_TRUE(r.width == W || r.height == H);
            const double scale = std::min(W / double(source[0]), H / double(source[1]));
            EXPECT_LE(std::abs(r.width - std::max(2.0, scale * double(source[0]))), 1.0);
            EXPECT_LE(std::abs(r.height - std::max(2.0, scale * double(source[1]))), 1.0);
            EXPECT_LE(std::abs((W - r.x - r.width) - r.x), 2.0);
            EXPECT_LE(std::abs((H - r.y - r.height) - r.y), 2.0);
        }
    }
}

}  // namespace
}  // namespace vx
