// The BGRA -> NV12 conversion: BT.709 video-range values, the fitted area with its
// black borders, scaling, and the vectorised rows against the portable ones.
#include "platform/linux/convert/nv12_converter.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "platform/linux/convert/nv12_rows.h"

namespace vx {
namespace {

struct Bgra {
    uint8_t b, g, r;
};

// A BGRA picture; the fourth byte is garbage on purpose (X11 leaves it undefined).
struct Source {
    int width, height;
    std::vector<uint8_t> bytes;
    Source(int w, int h, Bgra colour) : width(w), height(h), bytes(size_t(w) * h * 4) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) set(x, y, colour);
    }
    void set(int x, int y, Bgra c) {
        uint8_t* p = &bytes[(size_t(y) * width + x) * 4];
        p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = uint8_t(x * 7 + y);
    }
    size_t stride() const { return size_t(width) * 4; }
};

uint8_t lumaAt(const ImageBuffer& p, int x, int y) { return p.plane(0)[y * p.stride(0) + x]; }
uint8_t cbAt(const ImageBuffer& p, int x, int y) { return p.plane(1)[(y / 2) * p.stride(1) + (x & ~1)]; }
uint8_t crAt(const ImageBuffer& p, int x, int y) { return p.plane(1)[(y / 2) * p.stride(1) + (x & ~1) + 1]; }

ImageBuffer convertWhole(const Source& source) {
    ImageBuffer picture(source.width, source.height);
    Nv12Converter converter(source.width, source.height, source.width, source.height,
                            Nv12Converter::area(std::nullopt, source.width, source.height));
    EXPECT_TRUE(converter.convert(source.bytes.data(), source.stride(), picture));
    return picture;
}

struct ColourCase {
    const char* name;
    Bgra colour;
    int y, cb, cr;
};

// BT.709, video range, rounded to the nearest integer.
const ColourCase kColours[] = {
    {"black", {0, 0, 0}, 16, 128, 128},
    {"white", {255, 255, 255}, 235, 128, 128},
    {"grey", {128, 128, 128}, 126, 128, 128},
    {"red", {0, 0, 255}, 63, 102, 240},
    {"green", {0, 255, 0}, 173, 42, 26},
    {"blue", {255, 0, 0}, 32, 240, 118},
};

TEST(Nv12Converter, KnownColoursEverywhereInThePicture) {
    // 70 wide: two full vector blocks and an overlapping tail; 6 wide: portable rows only.
    for (int width : {70, 6}) {
        for (const ColourCase& c : kColours) {
            SCOPED_TRACE(std::string(c.name) + " width " + std::to_string(width));
            ImageBuffer picture = convertWhole(Source(width, 4, c.colour));
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < width; ++x) {
                    ASSERT_EQ(lumaAt(picture, x, y), c.y) << x << "," << y;
                    ASSERT_EQ(cbAt(picture, x, y), c.cb) << x << "," << y;
                    ASSERT_EQ(crAt(picture, x, y), c.cr) << x << "," << y;
                }
        }
    }
}

TEST(Nv12Converter, ChromaIsTheAverageOfItsTwoByTwoBlock) {
    // One red and three black pixels per block: Cr = 128 + (240 - 128) / 4 = 156.
    Source source(64, 2, {0, 0, 0});
    for (int x = 0; x < 64; x += 2) source.set(x, 1, {0, 0, 255});
    ImageBuffer picture = convertWhole(source);
    for (int x = 0; x < 64; x += 2) {
        EXPECT_EQ(lumaAt(picture, x, 1), 63);
        EXPECT_EQ(lumaAt(picture, x + 1, 1), 16);
        EXPECT_EQ(crAt(picture, x, 0), 156);
    }
}

TEST(Nv12Rows, VectorisedRowsMatchThePortableOnes) {
    if (!nv12::vectorised()) GTEST_SKIP() << "no AVX2 on this processor";
    std::mt19937 random(7);
    for (int width : {32, 34, 62, 64, 96, 1920, 2562}) {
        SCOPED_TRACE(width);
        std::vector<uint8_t> rows(size_t(width) * 8);
        for (auto& b : rows) b = uint8_t(random());
        const uint8_t* row0 = rows.data();
        const uint8_t* row1 = rows.data() + size_t(width) * 4;
        std::vector<uint8_t> fast(size_t(width) * 3), slow(size_t(width) * 3);
        nv12::convertRowPair(row0, row1, width, fast.data(), fast.data() + width,
                             fast.data() + 2 * width);
        nv12::convertRowPairPortable(row0, row1, width, slow.data(), slow.data() + width,
                                     slow.data() + 2 * width);
        ASSERT_EQ(fast, slow);

        std::vector<uint8_t> blendFast(size_t(width) * 4), blendSlow(size_t(width) * 4);
        nv12::blendRows(row0, row1, 23, blendFast.size(), blendFast.data());
        nv12::blendRowsPortable(row0, row1, 23, blendSlow.size(), blendSlow.data());
        ASSERT_EQ(blendFast, blendSlow);

        int count = width - 1;  // each output reads its pixel and the next one
        std::vector<int32_t> left(count);
        std::vector<int8_t> weights(size_t(count) * 8);
        for (int i = 0; i < count; ++i) {
            left[i] = int32_t(random() % (width - 1));
            int w = int(random() % 65);
            for (int c = 0; c < 4; ++c) weights[8 * i + 2 * c] = int8_t(64 - w), weights[8 * i + 2 * c + 1] = int8_t(w);
        }
        std::vector<uint8_t> outFast(size_t(count) * 4), outSlow(size_t(count) * 4);
        nv12::resampleRow(row0, left.data(), weights.data(), count, outFast.data());
        nv12::resampleRowPortable(row0, left.data(), weights.data(), count, outSlow.data());
        ASSERT_EQ(outFast, outSlow);
    }
}

TEST(Nv12Converter, PortableAndVectorisedConversionsGiveTheSameBytes) {
    // The same pictures through the whole converter, scaled or not, whole or in part,
    // once with the portable rows only and once with the processor's best.
    if (!nv12::vectorised()) GTEST_SKIP() << "no AVX2 on this processor: the portable rows only";
    std::mt19937 random(3);
    struct Case {
        int sourceWidth, sourceHeight, width, height;
        PixelRect region;
    } cases[] = {{258, 130, 258, 130, {0, 0, 258, 130}},
                 {258, 130, 258, 130, {34, 10, 98, 40}},
                 {300, 170, 256, 144, {0, 0, 256, 144}},
                 {300, 170, 256, 144, {6, 20, 120, 60}},
                 {90, 50, 256, 144, {0, 0, 256, 144}}};
    for (const Case& c : cases) {
        Source source(c.sourceWidth, c.sourceHeight, {0, 0, 0});
        for (int y = 0; y < c.sourceHeight; ++y)
            for (int x = 0; x < c.sourceWidth; ++x)
                source.set(x, y, {uint8_t(random()), uint8_t(random()), uint8_t(random())});
        const PixelRect area = Nv12Converter::area(Rect{4, 2, double(c.width - 8), double(c.height - 4)},
                                                   c.width, c.height);
        std::vector<uint8_t> results[2];
        for (int vectorised = 0; vectorised < 2; ++vectorised) {
            EXPECT_EQ(nv12::setVectorised(vectorised), bool(vectorised));
            Nv12Converter converter(c.sourceWidth, c.sourceHeight, c.width, c.height, area);
            ImageBuffer picture(c.width, c.height);
            std::fill(picture.plane(0), picture.plane(0) + c.width * c.height * 3 / 2, 7);
            ASSERT_TRUE(converter.convertRegion(source.bytes.data(), source.stride(), c.region, picture));
            results[vectorised].assign(picture.plane(0), picture.plane(0) + c.width * c.height * 3 / 2);
        }
        EXPECT_EQ(results[0], results[1]) << c.sourceWidth << "x" << c.sourceHeight << " into "
                                          << c.width << "x" << c.height;
    }
    nv12::setVectorised(true);
}

struct AreaCase {
    const char* name;
    std::optional<Rect> rect;
    int width, height;
    PixelRect expected;
};

const AreaCase kAreas[] = {
    {"no rect: whole picture", std::nullopt, 1920, 1080, {0, 0, 1920, 1080}},
    {"pillar box of 1440x900", Rect{96, 0, 1728, 1080}, 1920, 1080, {96, 0, 1728, 1080}},
    {"letter box of 2560x1080", Rect{0, 135, 1920, 810}, 1920, 1080, {0, 134, 1920, 810}},
    {"almost-integer edges", Rect{95.99999, 0, 1728.00002, 1080}, 1920, 1080, {96, 0, 1728, 1080}},
    {"odd edges move to even", Rect{1, 3, 5, 6}, 20, 20, {0, 2, 6, 6}},
    {"clipped to the picture", Rect{-10, 4, 40, 100}, 20, 20, {0, 4, 20, 16}},
    {"thinner than a block", Rect{4, 4, 0.5, 0.5}, 20, 20, {4, 4, 2, 2}},
    {"outside: whole picture", Rect{30, 30, 10, 10}, 20, 20, {0, 0, 20, 20}},
    {"empty: whole picture", Rect{2, 2, 0, 0}, 20, 20, {0, 0, 20, 20}},
};

TEST(Nv12Converter, AreaSnapsToEvenPixelsInsideThePicture) {
    for (const AreaCase& c : kAreas) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Nv12Converter::area(c.rect, c.width, c.height), c.expected);
    }
}

// A white 4:3 source fitted into 16:9 (and a wide one into 4:3): the area is white,
// everything else black, in both planes.
TEST(Nv12Converter, FittedAreaWithBlackBorders) {
    struct Case {
        int sourceWidth, sourceHeight, width, height;
        Rect rect;
    } cases[] = {
        {64, 48, 128, 72, {16, 0, 96, 72}},    // bars left and right
        {128, 36, 64, 48, {0, 8, 64, 18}},     // bars above and below (odd height -> 18)
        {40, 40, 96, 40, {28, 0, 40, 40}},     // same size: no scaling, bars at the sides
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.sourceWidth) + "x" + std::to_string(c.sourceHeight));
        Source source(c.sourceWidth, c.sourceHeight, {255, 255, 255});
        PixelRect area = Nv12Converter::area(c.rect, c.width, c.height);
        ImageBuffer picture(c.width, c.height);
        std::fill(picture.plane(0), picture.plane(0) + c.width * c.height, 99);  // stale content
        std::fill(picture.plane(1), picture.plane(1) + c.width * c.height / 2, 99);
        Nv12Converter converter(c.sourceWidth, c.sourceHeight, c.width, c.height, area);
        ASSERT_TRUE(converter.convert(source.bytes.data(), source.stride(), picture));
        for (int y = 0; y < c.height; ++y)
            for (int x = 0; x < c.width; ++x) {
                bool inside = x >= area.x && x < area.x + area.width && y >= area.y &&
                              y < area.y + area.height;
                ASSERT_EQ(lumaAt(picture, x, y), inside ? 235 : 16) << x << "," << y;
                ASSERT_EQ(cbAt(picture, x, y), 128) << x << "," << y;
                ASSERT_EQ(crAt(picture, x, y), 128) << x << "," << y;
            }
    }
}

TEST(Nv12Converter, ScalingKeepsFlatColoursExact) {
    struct Size {
        int sourceWidth, sourceHeight, width, height;
    } sizes[] = {{2560, 1440, 1920, 1080}, {33, 17, 20, 10}, {7, 5, 32, 32}, {1920, 1080, 2, 2}};
    for (const Size& s : sizes) {
        SCOPED_TRACE(std::to_string(s.sourceWidth) + "x" + std::to_string(s.sourceHeight));
        Source source(s.sourceWidth, s.sourceHeight, {0, 255, 0});
        ImageBuffer picture(s.width, s.height);
        Nv12Converter converter(s.sourceWidth, s.sourceHeight, s.width, s.height,
                                Nv12Converter::area(std::nullopt, s.width, s.height));
        ASSERT_TRUE(converter.convert(source.bytes.data(), source.stride(), picture));
        for (int y = 0; y < s.height; ++y)
            for (int x = 0; x < s.width; ++x) {
                ASSERT_EQ(lumaAt(picture, x, y), 173);
                ASSERT_EQ(crAt(picture, x, y), 26);
            }
    }
}

TEST(Nv12Converter, HalvingAveragesNeighbours) {
    // A black and white checkerboard halved in both directions is an even grey.
    Source source(64, 16, {0, 0, 0});
    for (int y = 0; y < 16; ++y)
        for (int x = (y % 2); x < 64; x += 2) source.set(x, y, {255, 255, 255});
    ImageBuffer picture(32, 8);
    Nv12Converter converter(64, 16, 32, 8, Nv12Converter::area(std::nullopt, 32, 8));
    ASSERT_TRUE(converter.convert(source.bytes.data(), source.stride(), picture));
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 32; ++x) ASSERT_EQ(lumaAt(picture, x, y), 126) << x << "," << y;
}

TEST(Nv12Converter, ScalingKeepsEdgesInPlace) {
    // Left half red, right half blue, scaled from 64 to 32 columns: each output half
    // keeps its colour; only the two columns at the seam mix.
    Source source(64, 4, {255, 0, 0});
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 32; ++x) source.set(x, y, {0, 0, 255});
    ImageBuffer picture(32, 2);
    Nv12Converter converter(64, 4, 32, 2, Nv12Converter::area(std::nullopt, 32, 2));
    ASSERT_TRUE(converter.convert(source.bytes.data(), source.stride(), picture));
    for (int x = 0; x < 15; ++x) EXPECT_EQ(lumaAt(picture, x, 0), 63) << x;
    for (int x = 17; x < 32; ++x) EXPECT_EQ(lumaAt(picture, x, 0), 32) << x;
}

TEST(Nv12Converter, RefusesAPictureOfAnotherSize) {
    Source source(8, 8, {1, 2, 3});
    Nv12Converter converter(8, 8, 8, 8, Nv12Converter::area(std::nullopt, 8, 8));
    ImageBuffer wrong(8, 6);
    EXPECT_FALSE(converter.convert(source.bytes.data(), source.stride(), wrong));
}

}  // namespace
}  // namespace vx
