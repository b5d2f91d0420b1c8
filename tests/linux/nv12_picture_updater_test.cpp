// Pictures brought up to date part by part: whatever order the pool hands pictures
// out in, each one equals a whole conversion of the source as it is now, and its
// macroblock map marks every macroblock that differs from the frame before.
#include "platform/linux/convert/picture_updater.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "platform/linux/convert/nv12_rows.h"

namespace vx {
namespace {

struct Layout {
    const char* name;
    int sourceWidth, sourceHeight, width, height;
    PixelRect area;
};

const Layout kLayouts[] = {
    {"same size", 256, 160, 256, 160, {0, 0, 256, 160}},
    {"scaled down into bars", 300, 200, 256, 160, {8, 0, 240, 160}},
    {"scaled up", 96, 64, 256, 160, {0, 8, 256, 144}},
};

std::vector<uint8_t> planes(const ImageBuffer& p) {
    const size_t size = size_t(p.width()) * p.height() * 3 / 2;
    return std::vector<uint8_t>(p.plane(0), p.plane(0) + size);
}

// Whether the macroblock (mx, my) of a and b holds the same luma and chroma.
bool sameMacroblock(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int width,
                    int height, int mx, int my) {
    for (int y = my * 16; y < std::min(height, my * 16 + 16); ++y) {
        const size_t luma = size_t(y) * width + mx * 16;
        const size_t chroma = size_t(width) * height + size_t(y / 2) * width + mx * 16;
        const size_t n = size_t(std::min(16, width - mx * 16));
        if (std::memcmp(&a[luma], &b[luma], n) || std::memcmp(&a[chroma], &b[chroma], n)) return false;
    }
    return true;
}

TEST(PictureUpdater, EveryPictureEqualsAWholeConversionWhateverTheOrderOfThePool) {
    for (const Layout& layout : kLayouts) {
        SCOPED_TRACE(layout.name);
        std::mt19937 random(7);
        std::vector<uint8_t> source(size_t(layout.sourceWidth) * layout.sourceHeight * 4);
        for (auto& byte : source) byte = uint8_t(random());
        const size_t stride = size_t(layout.sourceWidth) * 4;
        auto converter = [&] {
            return Nv12Converter(layout.sourceWidth, layout.sourceHeight, layout.width, layout.height,
                                 layout.area);
        };
        PictureUpdater updater(converter());
        Nv12Converter reference = converter();
        std::vector<ImageBuffer> pool(4, ImageBuffer(layout.width, layout.height));
        ImageBuffer whole(layout.width, layout.height);
        std::vector<uint8_t> previous;

        for (int frame = 1; frame <= 60; ++frame) {
            // A few rectangles of new pixels; some frames change nothing, some everything.
            std::vector<PixelRect> changed;
            const bool everything = frame % 23 == 0;
            const int count = frame % 7 == 0 ? 0 : int(random() % 4);
            for (int i = 0; i < count; ++i) {
                PixelRect r{int(random() % layout.sourceWidth), int(random() % layout.sourceHeight),
                            1 + int(random() % 40), 1 + int(random() % 30)};
                r = intersection(r, PixelRect{0, 0, layout.sourceWidth, layout.sourceHeight});
                for (int y = r.y; y < r.bottom(); ++y)
                    for (int x = r.x; x < r.right(); ++x)
                        std::memset(&source[y * stride + 4 * x], int(random()), 3);
                changed.push_back(r);
            }
            // The pool hands out any picture not in use: here the least recently used one,
            // or now and then one that has been idle for long.
            ImageBuffer& picture = pool[(frame * 3 + frame / 5) % pool.size()];
            ASSERT_TRUE(updater.update(source.data(), stride, changed, everything, picture));
            EXPECT_EQ(picture.sequence(), uint64_t(frame));
            ASSERT_TRUE(reference.convert(source.data(), stride, whole));
            const std::vector<uint8_t> expected = planes(whole);
            ASSERT_EQ(planes(picture), expected) << "frame " << frame;

            if (!previous.empty()) {
                for (int my = 0; my < picture.macroblocksHigh(); ++my)
                    for (int mx = 0; mx < picture.macroblocksWide(); ++mx)
                        if (!picture.changedMacroblocks()[my * picture.macroblocksWide() + mx]) {
                            ASSERT_TRUE(sameMacroblock(previous, expected, layout.width, layout.height, mx, my))
                                << "frame " << frame << ": macroblock " << mx << "," << my
                                << " changed but is marked unchanged";
                        }
            }
            previous = expected;
        }
    }
}

TEST(PictureUpdater, SmallChangesMarkFewMacroblocks) {
    PictureUpdater updater(Nv12Converter(320, 240, 320, 240, PixelRect{0, 0, 320, 240}));
    std::vector<uint8_t> source(320 * 240 * 4, 90);
    ImageBuffer picture(320, 240);
    ASSERT_TRUE(updater.update(source.data(), 320 * 4, {}, true, picture));
    ASSERT_TRUE(updater.update(source.data(), 320 * 4, {PixelRect{40, 40, 8, 8}}, false, picture));
    const uint8_t* map = picture.changedMacroblocks();
    int marked = 0;
    for (int i = 0; i < picture.macroblocksWide() * picture.macroblocksHigh(); ++i) marked += map[i] != 0;
    EXPECT_EQ(marked, 1);
    EXPECT_NE(map[2 * picture.macroblocksWide() + 2], 0);
    ASSERT_TRUE(updater.update(source.data(), 320 * 4, {}, false, picture));
    marked = 0;
    for (int i = 0; i < picture.macroblocksWide() * picture.macroblocksHigh(); ++i) marked += map[i] != 0;
    EXPECT_EQ(marked, 0) << "nothing changed";
}

TEST(PictureUpdater, RefusesAPictureOfAnotherSize) {
    PictureUpdater updater(Nv12Converter(64, 64, 64, 64, PixelRect{0, 0, 64, 64}));
    std::vector<uint8_t> source(64 * 64 * 4);
    ImageBuffer picture(32, 32);
    EXPECT_FALSE(updater.update(source.data(), 64 * 4, {}, true, picture));
    EXPECT_EQ(picture.sequence(), 0u);
    EXPECT_EQ(updater.sequence(), 0u);
}

}  // namespace
}  // namespace vx
