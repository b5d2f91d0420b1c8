// Screen-cast pixels into NV12: every 32-bit layout a producer may choose gives
// the picture its B, G, R, X twin gives; the buffer's offset, stride and size are
// honoured; formats that are not 32-bit RGB are not taken.
#include "platform/linux/wayland/screen_cast_picture.h"

#include <gtest/gtest.h>
#include <spa/param/video/raw.h>

#include <array>
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

}  // namespace
}  // namespace vx
