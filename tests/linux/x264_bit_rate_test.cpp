// The bit rate and picture quality of libx264 under the program's settings, with x264
// itself and a decoder (ffmpeg): over every second of presentation time the stream keeps
// to the rate (and uses it where the content needs it), whatever the frame cadence;
// key frames come every two seconds of presentation time, are no coarser than the
// frames before them by more than a small step, and the frames after them recover at
// once; a frame that x264 could not take makes the next a key frame.
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
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace vx {
namespace {

constexpr int kWidth = 320, kHeight = 240;
constexpr int64_t kNanosecond = 1000000000;

enum class Content { Grain, Scrolling, Still };

// Fine grain, new in every frame: far more than any of the rates here pay for.
std::shared_ptr<ImageBuffer> grain(std::mt19937& random) {
    auto picture = std::make_shared<ImageBuffer>(kWidth, kHeight);
    for (int i = 0; i < kWidth * kHeight; ++i) picture->plane(0)[i] = uint8_t(100 + random() % 48);
    for (int i = 0; i < kWidth * kHeight / 2; ++i)
        picture->plane(1)[i] = uint8_t(120 + random() % 16);
    return picture;
}

// Lines of "text" (a fixed random pattern of strokes), moved up `offset` rows.
std::shared_ptr<ImageBuffer> page(int offset) {
    auto picture = std::make_shared<ImageBuffer>(kWidth, kHeight);
    for (int y = 0; y < kHeight; ++y) {
        const int line = y + offset;
        for (int x = 0; x < kWidth; ++x) {
            const uint32_t hash = uint32_t(line / 2) * 2654435761u ^ uint32_t(x / 3) * 40503u;
            const bool stroke = line % 16 < 11 && x % 60 < 52 && (hash >> 13) % 3 == 0;
            picture->plane(0)[y * kWidth + x] = stroke ? 30 : 225;
        }
    }
    std::fill(picture->plane(1), picture->plane(1) + kWidth * kHeight / 2, uint8_t(128));
    return picture;
}

// The luma planes ffmpeg decodes from an Annex-B stream of kWidth x kHeight pictures.
std::vector<std::vector<uint8_t>> decode(const std::vector<uint8_t>& stream) {
    // As decoded, in video range: no conversion of the luma.
    const std::vector<uint8_t> bytes = decodeRaw(stream, "yuv420p");
    const size_t lumaSize = size_t(kWidth) * kHeight, frameSize = lumaSize * 3 / 2;
    std::vector<std::vector<uint8_t>> result;
    for (size_t at = 0; at + frameSize <= bytes.size(); at += frameSize)
        result.emplace_back(bytes.begin() + std::ptrdiff_t(at),
                            bytes.begin() + std::ptrdiff_t(at + lumaSize));
    return result;
}

double psnr(const std::vector<uint8_t>& decoded, const ImageBuffer& source) {
    double sum = 0;
    for (int i = 0; i < kWidth * kHeight; ++i) {
        const double d = double(decoded[size_t(i)]) - source.plane(0)[i];
        sum += d * d;
    }
    const double mse = sum / (kWidth * kHeight);
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

struct Frame {
    double seconds;  // presentation time
    int64_t bits;
    bool key;
    double psnr = 0;
};

// The program's encoder settings at a rate and frame rate; frames come out at once.
class RateEncoder {
public:
    RateEncoder(int64_t bitsPerSecond, int fps) {
        const X264Settings settings = captureSettings(bitsPerSecond, fps, true);
        x264_param_t param;
        EXPECT_TRUE(settings.parameters(kWidth, kHeight, &param));
        Status status = 0;
        encoder_ = X264Encoder::open(
            param, {settings.keyFrameInterval(), settings.maxKeyFrameSeconds()}, &status);
        EXPECT_TRUE(encoder_) << status;
    }

    // Status of the frame; a coded frame goes to out and the stream.
    Status encode(const std::shared_ptr<ImageBuffer>& picture, int64_t nanoseconds) {
        Status result = 0;
        encoder_->encode(picture, Time{nanoseconds, int32_t(kNanosecond)}, false,
                         [&](Status status, uint32_t, std::shared_ptr<const SampleBuffer> sample) {
                             result = status;
                             if (status != 0) return;
                             const bool notSync = std::get<bool>(
                                 sampleAttachmentsArray(*sample)->front().at(
                                     kSampleAttachmentKeyNotSync));
                             out.push_back({double(nanoseconds) / kNanosecond,
                                            int64_t(sample->dataBuffer->dataLength()) * 8,
                                            !notSync});
                             const auto unit = annexB(*sample, stream.empty());
                             stream.insert(stream.end(), unit.begin(), unit.end());
                         });
        return result;
    }

    std::vector<Frame> out;
    std::vector<uint8_t> stream;

private:
    std::unique_ptr<X264Encoder> encoder_;
};

struct Case {
    const char* name;
    Content content;
    int64_t bitsPerSecond;
    int fps;          // --fps
    double cadence;   // pictures a second actually sent
    int seconds;
    bool needsRate;   // the content takes all of the rate
    // A key frame at the quality the frames before reached costs less than the rate of
    // the two seconds between key frames.
    bool keyFrameAffordable = true;
    // Where it is not: the PSNR-Y (dB) the buffer pays for in a periodic key frame, and
    // that the frames after it keep.
    double keyFrameFloor = 0;
};

std::string describe(const Case& c) {
    return std::string(c.name) + " at " + std::to_string(c.bitsPerSecond / 1000) + " kbit/s, fps " +
           std::to_string(c.fps) + ", " + std::to_string(c.cadence) + " pictures a second";
}

// Encodes the case and decodes it again; every frame with its PSNR.
std::vector<Frame> run(const Case& c) {
    RateEncoder encoder(c.bitsPerSecond, c.fps);
    std::mt19937 random(7);
    std::vector<std::shared_ptr<ImageBuffer>> sources;
    const int count = int(std::lround(c.cadence * c.seconds));
    std::shared_ptr<ImageBuffer> still = page(0);
    still->setSequence(1);
    for (int i = 0; i < count; ++i) {
        std::shared_ptr<ImageBuffer> picture;
        switch (c.content) {
        case Content::Grain: picture = grain(random); break;
        case Content::Scrolling: picture = page(2 * i); break;
        case Content::Still: picture = still; break;  // the same, numbered: a repeat
        }
        sources.push_back(picture);
        EXPECT_EQ(encoder.encode(picture, int64_t(std::llround(i * kNanosecond / c.cadence))), 0);
    }
    const auto decoded = decode(encoder.stream);
    EXPECT_EQ(decoded.size(), sources.size());
    for (size_t i = 0; i < decoded.size() && i < encoder.out.size(); ++i)
        encoder.out[i].psnr = psnr(decoded[i], *sources[i]);
    return encoder.out;
}

const Case kCases[] = {
    {"grain", Content::Grain, 2000000, 60, 60, 5, true},
    {"grain", Content::Grain, 6000000, 30, 30, 5, true},
    {"grain, damage-driven", Content::Grain, 2000000, 60, 20, 5, true},
    {"grain", Content::Grain, 300000, 1, 1, 8, true},
    {"grain", Content::Grain, 2000000, 240, 240, 5, true},
    {"scrolling", Content::Scrolling, 1000000, 60, 60, 5, false},
    // Scrolling text at 400 kbit/s: the frames reach about q 16, where one key frame of
    // the page costs some 1 Mbit, more than two seconds of the rate.
    {"scrolling", Content::Scrolling, 400000, 30, 30, 5, false, false, 40.0},
    {"still, repeated", Content::Still, 2000000, 60, 10, 7, false},
    {"still, repeated", Content::Still, 2000000, 1, 10, 7, false},
};

TEST(X264BitRate, KeepsToTheRateOverEverySecondOfPresentationTime) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(describe(c));
        const auto frames = run(c);
        const double rate = double(c.bitsPerSecond);
        const double buffer = 1000.0 * X264Settings::bufferKilobits(c.bitsPerSecond / 1000, c.fps);
        std::map<int, double> perSecond;
        for (const Frame& f : frames) perSecond[int(std::floor(f.seconds))] += double(f.bits);
        double total = 0;
        for (const auto& [second, bits] : perSecond) {
            // The buffer starts nearly full: from the start on, never more than the rate
            // and what it held. It lets a second carry a key frame beyond the rate.
            total += bits;
            EXPECT_LE(total, rate * (second + 1) + buffer) << "up to second " << second;
            EXPECT_LE(bits, rate + buffer) << "second " << second;
            // Over every two seconds (a key frame's interval), once the starting fill is
            // spent: the rate.
            if (second < 3 || !perSecond.count(second + 1)) continue;
            const double two = bits + perSecond[second + 1];
            EXPECT_LE(two, 1.1 * 2 * rate) << "seconds " << second << " and " << second + 1;
            if (c.needsRate) {
                EXPECT_GE(two, 0.9 * 2 * rate) << "seconds " << second << " and " << second + 1
                                               << " left the rate unused";
            }
        }
    }
}

TEST(X264BitRate, KeyFramesComeEveryTwoSecondsOfPresentationTime) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(describe(c));
        const auto frames = run(c);
        for (size_t k = 0; k < frames.size(); ++k) {
            const bool due = std::fmod(frames[k].seconds + 1e-9, 2.0) < 1e-6;
            EXPECT_EQ(frames[k].key, due) << "frame " << k << " at " << frames[k].seconds << " s";
        }
        if (c.content == Content::Still) {
            for (size_t i = 1; i < frames.size(); ++i)
                EXPECT_GE(frames[i].psnr, frames[0].psnr - 1.5) << "still frame " << i;
        }
    }
}

// Against the second before it, a periodic key frame at most 1.5 dB below (PSNR-Y), and
// no frame of the half second after it more than 3 dB below. Where such a key frame costs
// more than the rate between key frames, as fine as the buffer pays for (the case's floor,
// for the frames after it too), at most 11 dB below, and the frames after at most 8.5 dB
// (x264's own choice: 14 dB and 13 dB). x264's two slice threads share the rate out
// within a frame by timing, so no two runs code quite the same frames, and what the
// buffer holds at a key frame may fall either side of what a quantizer step costs: on
// scrolling text at 400 kbit/s the first periodic key frame comes at q 24 in most runs
// and at q 25 in some (4 of 83 runs here). On this page of two greys a step changes the
// bits by 3 % and the picture by up to 3.5 dB: at q 24 the key frames came at 43.97 and
// 42.71 dB (6.9 and 9.5 dB below), the frames after at most 6.6 dB below; at q 25 at
// 40.45 and 40.57 dB (10.4 and 10.2 below), the frames after 7.8 below. Before the first
// frame found a buffer of a second, the key frames came at 37.5-39.4 dB.
TEST(X264BitRate, PeriodicKeyFramesKeepTheQualityReached) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(describe(c));
        const double keyStep = c.keyFrameAffordable ? 1.5 : 11.0;
        const double afterStep = c.keyFrameAffordable ? 3.0 : 8.5;
        const auto frames = run(c);
        for (size_t k = 1; k < frames.size(); ++k) {
            if (!frames[k].key) continue;
            double before = 0;
            int counted = 0;
            for (size_t i = 0; i < k; ++i)
                if (frames[i].seconds >= frames[k].seconds - 1.0) {
                    before += frames[i].psnr;
                    ++counted;
                }
            before /= std::max(1, counted);
            EXPECT_GE(frames[k].psnr, before - keyStep) << "key frame " << k;
            EXPECT_GE(frames[k].psnr, c.keyFrameFloor) << "key frame " << k;
            for (size_t i = k + 1; i < frames.size() && frames[i].seconds < frames[k].seconds + 0.5;
                 ++i)
                EXPECT_GE(frames[i].psnr, std::max(before - afterStep, c.keyFrameFloor))
                    << "frame " << i << " after key frame " << k;
        }
    }
}

TEST(X264BitRate, AFrameX264CouldNotTakeMakesTheNextAKeyFrame) {
    RateEncoder encoder(2000000, 60);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(encoder.encode(page(i), i * kNanosecond / 60), 0);
    auto wrongSize = std::make_shared<ImageBuffer>(kWidth / 2, kHeight);
    EXPECT_NE(encoder.encode(wrongSize, 5 * kNanosecond / 60), 0);
    for (int i = 6; i < 9; ++i) EXPECT_EQ(encoder.encode(page(i), i * kNanosecond / 60), 0);
    ASSERT_EQ(encoder.out.size(), 8u);
    std::vector<bool> keys;
    for (const Frame& f : encoder.out) keys.push_back(f.key);
    EXPECT_EQ(keys, (std::vector<bool>{true, false, false, false, false, true, false, false}));
}

}  // namespace
}  // namespace vx
