// Screen-cast pixels into NV12: every 32-bit layout a producer may choose gives
// the picture its B, G, R, X twin gives; the buffer's offset, stride and size are
// honoured; formats that are not 32-bit RGB are not taken. Pictures are numbered and
// mark their changed macroblocks as the X11 screen's are, also across a new size.
#include "platform/linux/wayland/screen_cast_picture.h"

#include <gtest/gtest.h>
#include <spa/param/video/raw.h>

#include <array>
#include <memory>
#include <vector>

namespace vx {
namespace {

constexpr int kWidth = 8, kHeight = 6;

struct Rgb {
    uint8_t r, g, b;
};

Rgb colourAt(int x, int y) { return Rgb{uint8_t(x * 30), uint8_t(y * 40), uint8_t(200 - x * 10)}; }

// Byte positions of R, G, B in a pixel of each layout.
std::array<int, 3> positions(PixelLayout layout) {
    switch (layout) {
        case PixelLayout::bgrx: return {2, 1, 0};
        case PixelLayout::rgbx: return {0, 1, 2};
        case PixelLayout::xbgr: return {3, 2, 1};
        case PixelLayout::xrgb: return {1, 2, 3};
    }
    return {0, 0, 0};
}

// A shared-memory buffer holding the test picture in `layout`, `offset` bytes in,
// rows `stride` bytes apart.
struct ShmBuffer {
    std::vector<uint8_t> bytes;
    spa_chunk chunk{};
    spa_data data{};
    spa_buffer buffer{};

    ShmBuffer(PixelLayout layout, uint32_t offset, uint32_t stride) {
        bytes.assign(offset + size_t(stride) * kHeight, 0xAB);
        const auto at = positions(layout);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) {
                uint8_t* pixel = &bytes[offset + size_t(y) * stride + size_t(x) * 4];
                const Rgb c = colourAt(x, y);
                pixel[at[0]] = c.r, pixel[at[1]] = c.g, pixel[at[2]] = c.b;
                pixel[6 - at[0] - at[1] - at[2]] = 0x5A;  // the fourth byte: alpha or garbage
            }
        chunk = spa_chunk{offset, uint32_t(bytes.size() - offset), int32_t(stride), 0};
        data.type = SPA_DATA_MemFd;
        data.maxsize = uint32_t(bytes.size());
        data.data = bytes.data();
        data.chunk = &chunk;
        buffer.n_datas = 1;
        buffer.datas = &data;
    }
};

std::vector<uint8_t> nv12Of(PixelLayout layout, uint32_t offset, uint32_t stride) {
    ShmBuffer source(layout, offset, stride);
    ScreenCastPicture picture(layout, kWidth, kHeight, kWidth, kHeight, PixelRect{0, 0, kWidth, kHeight});
    ImageBuffer out(kWidth, kHeight);
    EXPECT_TRUE(picture.fill(source.buffer, out));
    return std::vector<uint8_t>(out.plane(0), out.plane(0) + kWidth * kHeight * 3 / 2);
}

TEST(ScreenCastPicture, EveryLayoutGivesThePictureOfItsBgrxTwin) {
    const auto expected = nv12Of(PixelLayout::bgrx, 0, kWidth * 4);
    for (PixelLayout layout : {PixelLayout::rgbx, PixelLayout::xbgr, PixelLayout::xrgb})
        EXPECT_EQ(nv12Of(layout, 0, kWidth * 4), expected) << int(layout);
    // Rows with padding, the picture some bytes into the buffer.
    for (PixelLayout layout : {PixelLayout::bgrx, PixelLayout::rgbx, PixelLayout::xrgb})
        EXPECT_EQ(nv12Of(layout, 64, kWidth * 4 + 12), expected) << int(layout);
}

TEST(ScreenCastPicture, RefusesABufferThatHoldsLessThanAPicture) {
    ImageBuffer out(kWidth, kHeight);
    ScreenCastPicture picture(PixelLayout::bgrx, kWidth, kHeight, kWidth, kHeight,
                              PixelRect{0, 0, kWidth, kHeight});
    ShmBuffer cut(PixelLayout::bgrx, 0, kWidth * 4);
    cut.data.maxsize -= 1;
    EXPECT_FALSE(picture.fill(cut.buffer, out));
    ShmBuffer narrow(PixelLayout::bgrx, 0, kWidth * 4);
    narrow.chunk.stride = kWidth * 4 - 4;
    EXPECT_FALSE(picture.fill(narrow.buffer, out));
    ShmBuffer unmapped(PixelLayout::bgrx, 0, kWidth * 4);
    unmapped.data.data = nullptr;
    EXPECT_FALSE(picture.fill(unmapped.buffer, out));
}

TEST(PixelLayout, ThirtyTwoBitRgbFormatsOnly) {
    const struct {
        uint32_t format;
        std::optional<PixelLayout> layout;
    } cases[] = {
        {SPA_VIDEO_FORMAT_BGRx, PixelLayout::bgrx}, {SPA_VIDEO_FORMAT_BGRA, PixelLayout::bgrx},
        {SPA_VIDEO_FORMAT_RGBx, PixelLayout::rgbx}, {SPA_VIDEO_FORMAT_RGBA, PixelLayout::rgbx},
        {SPA_VIDEO_FORMAT_xBGR, PixelLayout::xbgr}, {SPA_VIDEO_FORMAT_ABGR, PixelLayout::xbgr},
        {SPA_VIDEO_FORMAT_xRGB, PixelLayout::xrgb}, {SPA_VIDEO_FORMAT_ARGB, PixelLayout::xrgb},
        {SPA_VIDEO_FORMAT_RGB, std::nullopt},       {SPA_VIDEO_FORMAT_NV12, std::nullopt},
        {SPA_VIDEO_FORMAT_xRGB_210LE, std::nullopt}, {SPA_VIDEO_FORMAT_UNKNOWN, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(pixelLayoutOf(c.format), c.layout) << c.format;
}

// A BGRx screen of any size whose parts can be painted, as one buffer of a stream.
struct Screen {
    int width, height;
    std::vector<uint8_t> bytes;
    spa_chunk chunk{};
    spa_data data{};
    spa_buffer buffer{};

    Screen(int w, int h) : width(w), height(h), bytes(size_t(w) * size_t(h) * 4) {
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + i / 97);
        chunk = spa_chunk{0, uint32_t(bytes.size()), int32_t(w * 4), 0};
        data.type = SPA_DATA_MemFd;
        data.maxsize = uint32_t(bytes.size());
        data.data = bytes.data();
        data.chunk = &chunk;
        buffer.n_datas = 1;
        buffer.datas = &data;
    }
    void paint(const PixelRect& r, uint8_t value) {
        for (int y = r.y; y < r.bottom(); ++y)
            for (int x = r.x; x < r.right(); ++x)
                for (int c = 0; c < 3; ++c)
                    bytes[(size_t(y) * size_t(width) + size_t(x)) * 4 + c] =
                        uint8_t(value + c * 40);
    }
};

std::vector<uint8_t> pixelsOf(const ImageBuffer& picture) {
    return std::vector<uint8_t>(picture.plane(0),
                                picture.plane(0) + picture.width() * picture.height() * 3 / 2);
}

std::vector<uint8_t> mapOf(const ImageBuffer& picture) {
    return std::vector<uint8_t>(
        picture.changedMacroblocks(),
        picture.changedMacroblocks() + picture.macroblocksWide() * picture.macroblocksHigh());
}

// The NV12 picture of the screen as it is, converted whole.
std::vector<uint8_t> wholeConversion(Screen& screen, int width, int height, PixelRect area) {
    Nv12Converter converter(screen.width, screen.height, width, height, area);
    ImageBuffer out(width, height);
    converter.convert(screen.bytes.data(), size_t(screen.width) * 4, out);
    return pixelsOf(out);
}

TEST(ScreenCastPicture, PicturesAreNumberedAndMarkedAsTheX11ScreensAre) {
    // Frames of a 96 x 64 screen at its own size (6 x 4 macroblocks), each with the
    // damage the stream reported; the pictures come from a pool of three in turn, so
    // each holds a frame two or three behind. The X11 screen's updater, given the same
    // screens and changes, numbers and marks its pictures the same way.
    const int w = 96, h = 64;
    const PixelRect whole{0, 0, w, h};
    const struct {
        const char* what;
        std::vector<PixelRect> damage;
        bool everything;
    } frames[] = {
        {"the first frame", {{0, 0, 8, 8}}, false},
        {"one corner", {{0, 0, 8, 8}}, false},
        {"the bottom right macroblock", {{80, 48, 16, 16}}, false},
        {"two parts", {{20, 20, 4, 4}, {60, 2, 30, 6}}, false},
        {"no damage metadata", {}, true},
        {"a line across", {{0, 33, 96, 1}}, false},
        {"a part inside one macroblock", {{35, 35, 2, 2}}, false},
    };
    Screen screen(w, h);
    ScreenCastPicture wayland(PixelLayout::bgrx, w, h, w, h, whole);
    PictureUpdater x11(Nv12Converter(w, h, w, h, whole));
    std::vector<std::unique_ptr<ImageBuffer>> pool, x11Pool;
    for (int i = 0; i < 3; ++i) {
        pool.push_back(std::make_unique<ImageBuffer>(w, h));
        x11Pool.push_back(std::make_unique<ImageBuffer>(w, h));
    }
    uint8_t colour = 10;
    for (size_t n = 0; n < std::size(frames); ++n) {
        const auto& f = frames[n];
        for (const PixelRect& r : f.damage) screen.paint(r, colour += 23);
        if (f.everything) screen.paint(whole, colour += 23);
        ImageBuffer& picture = *pool[n % 3];
        ASSERT_TRUE(wayland.fill(screen.buffer, f.damage, f.everything, picture)) << f.what;
        ImageBuffer& reference = *x11Pool[n % 3];
        x11.update(screen.bytes.data(), w * 4, f.damage, f.everything, reference);
        EXPECT_EQ(picture.sequence(), n + 1) << f.what;
        EXPECT_EQ(wayland.sequence(), n + 1) << f.what;
        EXPECT_EQ(picture.sequence(), reference.sequence()) << f.what;
        if (n > 0) {
            EXPECT_EQ(mapOf(picture), mapOf(reference)) << f.what;
        }
        EXPECT_EQ(pixelsOf(picture), wholeConversion(screen, w, h, whole)) << f.what;
    }
    // What the corner and the single macroblock marked, exactly.
    ImageBuffer corner(w, h);
    ScreenCastPicture fresh(PixelLayout::bgrx, w, h, w, h, whole);
    ASSERT_TRUE(fresh.fill(screen.buffer, {}, true, corner));
    ASSERT_TRUE(fresh.fill(screen.buffer, {{35, 35, 2, 2}}, false, corner));
    std::vector<uint8_t> expected(6 * 4, 0);
    expected[2 * 6 + 2] = 1;
    EXPECT_EQ(mapOf(corner), expected);
}

TEST(ScreenCastPicture, OtherLayoutsFollowOnlyTheChangedRowsAndStayExact) {
    // An R, G, B, X stream rewrites only the changed rows into its scratch picture;
    // every picture still equals the whole conversion of the screen.
    const int w = 64, h = 48;
    Screen bgrx(w, h), rgbx(w, h);
    auto toRgbx = [&] {
        for (size_t i = 0; i < bgrx.bytes.size(); i += 4) {
            rgbx.bytes[i] = bgrx.bytes[i + 2], rgbx.bytes[i + 1] = bgrx.bytes[i + 1];
            rgbx.bytes[i + 2] = bgrx.bytes[i], rgbx.bytes[i + 3] = 0;
        }
    };
    ScreenCastPicture picture(PixelLayout::rgbx, w, h, w, h, PixelRect{0, 0, w, h});
    ImageBuffer out(w, h);
    const std::vector<PixelRect> changes[] = {
        {}, {{3, 40, 10, 8}}, {{0, 0, 64, 1}, {50, 20, 2, 2}}};
    uint8_t colour = 0;
    for (const auto& changed : changes) {
        for (const PixelRect& r : changed) bgrx.paint(r, colour += 50);
        toRgbx();
        ASSERT_TRUE(picture.fill(rgbx.buffer, changed, changed.empty(), out));
        EXPECT_EQ(pixelsOf(out), wholeConversion(bgrx, w, h, PixelRect{0, 0, w, h}));
    }
}

TEST(ScreenCastPicture, ANewSizeContinuesTheNumbersAndRedrawsEveryPicture) {
    // The stream went from 96 x 64 to 64 x 64 after frame 5: the next picture maker
    // continues at 6, converts pictures that hold frames of the old size whole (also
    // one that holds frame 5, the one just before) and marks every macroblock, then
    // goes on part by part.
    const int w = 96, h = 64;
    Screen before(w, h), after(64, 64);
    ScreenCastPicture old(PixelLayout::bgrx, w, h, w, h, PixelRect{0, 0, w, h});
    std::vector<std::unique_ptr<ImageBuffer>> pool;
    for (int i = 0; i < 3; ++i) pool.push_back(std::make_unique<ImageBuffer>(w, h));
    for (int n = 0; n < 5; ++n)
        ASSERT_TRUE(old.fill(before.buffer, {}, n == 0, *pool[size_t(n) % 3]));
    ASSERT_EQ(old.sequence(), 5u);

    const PixelRect bars{16, 0, 64, 64};  // the square screen with bars left and right
    ScreenCastPicture resized(PixelLayout::bgrx, 64, 64, w, h, bars, old.sequence());
    EXPECT_EQ(resized.sequence(), 5u);
    for (size_t held : {size_t(1), size_t(0)}) {  // frames 5, then 4: both of the old size
        ImageBuffer& picture = *pool[held];
        ASSERT_TRUE(resized.fill(after.buffer, {{0, 0, 2, 2}}, false, picture));
        EXPECT_EQ(pixelsOf(picture), wholeConversion(after, w, h, bars));
        if (&picture == pool[1].get()) {
            EXPECT_EQ(picture.sequence(), 6u);
            EXPECT_EQ(mapOf(picture), std::vector<uint8_t>(6 * 4, 1));
        }
    }
    EXPECT_EQ(pool[0]->sequence(), 7u);
    after.paint({40, 40, 4, 4}, 99);
    ImageBuffer& third = *pool[2];  // holds frame 3, of the old size
    ASSERT_TRUE(resized.fill(after.buffer, {{40, 40, 4, 4}}, false, third));
    EXPECT_EQ(third.sequence(), 8u);
    EXPECT_EQ(pixelsOf(third), wholeConversion(after, w, h, bars));
    std::vector<uint8_t> expected(6 * 4, 0);
    expected[2 * 6 + 3] = 1;  // source (40, 40) lies at picture (56, 40): macroblock (3, 2)
    EXPECT_EQ(mapOf(third), expected);
}

}  // namespace
}  // namespace vx
