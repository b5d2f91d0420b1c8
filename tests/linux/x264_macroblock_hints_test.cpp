// The macroblock hints given to libx264, checked with a decoder (ffmpeg): pictures
// encoded with the hints decode as well as without them (PSNR against the source
// pictures), a changed part of the picture never stays stale, and a wrong hint would
// show (so the hints really reach the encoder).
#include "platform/linux/x264/x264_encoder.h"
#include "platform/linux/x264/x264_settings.h"
#include "platform/nv12/image_buffer.h"
#include "x264_stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace vx {
namespace {

constexpr int kWidth = 320, kHeight = 192;
// The part that changes from frame to frame ("typing"); whole macroblocks.
constexpr int kLeft = 32, kTop = 48, kRight = 160, kBottom = 112;
constexpr int kFrames = 36;

bool insideChange(int mx, int my) {
    return mx * 16 >= kLeft && mx * 16 < kRight && my * 16 >= kTop && my * 16 < kBottom;
}

// A still page of high-contrast "text", with the changing part redrawn for each frame
// and every third picture a repeat of the one before.
std::vector<std::shared_ptr<ImageBuffer>> pictures() {
    std::mt19937 random(11);
    auto page = std::make_shared<ImageBuffer>(kWidth, kHeight);
    for (int i = 0; i < kWidth * kHeight; ++i) page->plane(0)[i] = random() % 5 == 0 ? 230 : 30;
    for (int i = 0; i < kWidth * kHeight / 2; ++i) page->plane(1)[i] = uint8_t(120 + random() % 16);
    std::vector<std::shared_ptr<ImageBuffer>> result;
    for (int frame = 0; frame < kFrames; ++frame) {
        if (frame % 3 == 2) {
            result.push_back(result.back());  // the very same picture again
            continue;
        }
        auto picture = std::make_shared<ImageBuffer>(*page);
        for (int y = kTop; y < kBottom; ++y)
            for (int x = kLeft; x < kRight; ++x)
                picture->plane(0)[y * kWidth + x] = random() % 4 == 0 ? 220 : 20 + frame;
        *page = *picture;
        result.push_back(picture);
    }
    return result;
}

// Numbers the pictures as the capture does, marking `changed` macroblocks (or none, to
// give a wrong hint on purpose); numbered false leaves them unnumbered (no hints).
void number(std::vector<std::shared_ptr<ImageBuffer>>& frames, bool numbered, bool markChanges) {
    uint64_t sequence = 0;
    const ImageBuffer* previous = nullptr;
    for (auto& picture : frames) {
        if (picture.get() == previous) continue;
        const std::shared_ptr<ImageBuffer> old = picture;
        auto fresh = std::make_shared<ImageBuffer>(*old);  // a buffer of its own
        for (auto& other : frames)
            if (other == old) other = fresh;
        fresh->setSequence(numbered ? ++sequence : 0);
        for (int my = 0; my < fresh->macroblocksHigh(); ++my)
            for (int mx = 0; mx < fresh->macroblocksWide(); ++mx)
                fresh->changedMacroblocks()[my * fresh->macroblocksWide() + mx] =
                    markChanges && insideChange(mx, my);
        previous = fresh.get();
    }
}

// The pictures encoded with the program's settings at bitsPerSecond, then decoded; the
// size of each encoded frame goes to sizes.
std::vector<std::vector<uint8_t>> encodeAndDecode(const std::vector<std::shared_ptr<ImageBuffer>>& frames,
                                                  int64_t bitsPerSecond, std::vector<size_t>& sizes) {
    const X264Settings settings = captureSettings(bitsPerSecond, 60, false);
    x264_param_t param;
    EXPECT_TRUE(settings.parameters(kWidth, kHeight, &param));
    Status status = 0;
    auto encoder = X264Encoder::open(param, {settings.keyFrameInterval(), std::nullopt}, &status);
    EXPECT_TRUE(encoder) << status;
    if (!encoder) return {};
    std::vector<uint8_t> stream;
    for (size_t i = 0; i < frames.size(); ++i) {
        encoder->encode(frames[i], Time{int64_t(i), 60}, i == 0,
                        [&stream, &sizes, i](Status s, uint32_t, std::shared_ptr<const SampleBuffer> sample) {
                            ASSERT_EQ(s, 0);
                            auto unit = annexB(*sample, i == 0);
                            sizes.push_back(unit.size());
                            stream.insert(stream.end(), unit.begin(), unit.end());
                        });
    }
    const std::vector<uint8_t> bytes = decodeRaw(stream, "nv12");
    const size_t frameSize = size_t(kWidth) * kHeight * 3 / 2;
    std::vector<std::vector<uint8_t>> result;
    for (size_t at = 0; at + frameSize <= bytes.size(); at += frameSize)
        result.emplace_back(bytes.begin() + std::ptrdiff_t(at), bytes.begin() + std::ptrdiff_t(at + frameSize));
    return result;
}

// PSNR of the luma inside [left, right) x [top, bottom).
double psnr(const std::vector<uint8_t>& decoded, const ImageBuffer& source, int left, int top,
            int right, int bottom) {
    double sum = 0;
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x) {
            const double d = double(decoded[y * kWidth + x]) - source.plane(0)[y * kWidth + x];
            sum += d * d;
        }
    const double mse = sum / ((right - left) * (bottom - top));
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

struct Quality {
    double whole = 0;                 // mean over the frames
    std::vector<double> changedPart;  // per frame
    std::vector<size_t> sizes;        // bytes per frame
};

// At 4 Mbit/s the changing part never settles; at 20 Mbit/s it is coded finely.
Quality quality(bool numbered, bool markChanges, int64_t bitsPerSecond = 4000000) {
    auto frames = pictures();
    number(frames, numbered, markChanges);
    Quality q;
    auto decoded = encodeAndDecode(frames, bitsPerSecond, q.sizes);
    EXPECT_EQ(decoded.size(), frames.size());
    for (size_t i = 0; i < decoded.size() && i < frames.size(); ++i) {
        q.whole += psnr(decoded[i], *frames[i], 0, 0, kWidth, kHeight) / double(decoded.size());
        q.changedPart.push_back(psnr(decoded[i], *frames[i], kLeft, kTop, kRight, kBottom));
    }
    return q;
}

TEST(X264MacroblockHints, DecodedPicturesAreAsGoodAsWithoutHintsAndNoChangeStaysStale) {
    for (int64_t rate : {4000000, 20000000}) {
        SCOPED_TRACE(rate);
        const Quality plain = quality(false, false, rate);
        const Quality hinted = quality(true, true, rate);
        EXPECT_GE(hinted.whole, plain.whole - 0.5) << "PSNR with hints " << hinted.whole << " dB, without " << plain.whole;
        ASSERT_EQ(hinted.changedPart.size(), plain.changedPart.size());
        for (size_t i = 0; i < hinted.changedPart.size(); ++i)
            // A stale part decodes near 10 dB; beyond 40 dB the differences mean nothing.
            EXPECT_GE(hinted.changedPart[i], std::min(plain.changedPart[i] - 3.0, 40.0))
                << "frame " << i << ": the changed part decodes at " << hinted.changedPart[i] << " dB";
    }
}

TEST(X264MacroblockHints, ARepeatOfAFinelyCodedPictureSkipsEveryMacroblock) {
    const Quality hinted = quality(true, true, 20000000);
    const Quality plain = quality(false, false, 20000000);
    for (size_t i = 5; i < hinted.sizes.size(); i += 3) {
        EXPECT_LT(hinted.sizes[i], 64u) << "frame " << i << " repeats the one before";
        EXPECT_GT(plain.sizes[i], 4 * hinted.sizes[i]) << "frame " << i << " without hints";
    }
}

TEST(X264MacroblockHints, AWrongHintWouldLeaveTheChangeStale) {
    const Quality wrong = quality(true, false);
    const Quality plain = quality(false, false);
    ASSERT_EQ(wrong.changedPart.size(), plain.changedPart.size());
    int stale = 0;
    for (size_t i = 0; i < wrong.changedPart.size(); ++i)
        stale += wrong.changedPart[i] < plain.changedPart[i] - 10.0;
    EXPECT_GT(stale, 0) << "the hints do not reach the encoder";
}

}  // namespace
}  // namespace vx
