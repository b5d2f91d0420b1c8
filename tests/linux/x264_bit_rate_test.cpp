// The bit rate of libx264 under the encoder's own rate control, with x264 itself: the
// stream keeps to the rate over every half second, x264 takes every quantizer the rate
// control asks for, and a screen that turns at once to far harder content comes out as
// a key frame that fits rather than as a burst.
#include "platform/linux/x264/x264_encoder.h"
#include "platform/linux/x264/x264_settings.h"
#include "platform/nv12/image_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

namespace vx {
namespace {

constexpr int kWidth = 320, kHeight = 240, kFps = 60;
constexpr int64_t kRate = 2000000;
constexpr double kBufferBits = kRate / 2.0;  // half a second
constexpr double kBitsPerFrame = double(kRate) / kFps;

// Fine grain, as in a film: far harder than a page, yet within the rate when coarse.
std::shared_ptr<ImageBuffer> grain(std::mt19937& random) {
    auto picture = std::make_shared<ImageBuffer>(kWidth, kHeight);
    for (int i = 0; i < kWidth * kHeight; ++i) picture->plane(0)[i] = uint8_t(100 + random() % 48);
    for (int i = 0; i < kWidth * kHeight / 2; ++i)
        picture->plane(1)[i] = uint8_t(120 + random() % 16);
    return picture;
}

// The hardest there is: every pixel random.
std::shared_ptr<ImageBuffer> noise(std::mt19937& random) {
    auto picture = std::make_shared<ImageBuffer>(kWidth, kHeight);
    for (int i = 0; i < kWidth * kHeight; ++i) picture->plane(0)[i] = uint8_t(random());
    for (int i = 0; i < kWidth * kHeight / 2; ++i) picture->plane(1)[i] = uint8_t(random());
    return picture;
}

std::shared_ptr<ImageBuffer> flat(uint8_t level) {
    auto picture = std::make_shared<ImageBuffer>(kWidth, kHeight);
    std::fill(picture->plane(0), picture->plane(0) + kWidth * kHeight, level);
    std::fill(picture->plane(1), picture->plane(1) + kWidth * kHeight / 2, uint8_t(128));
    return picture;
}

struct Encoded {
    int frame;
    int64_t bits;
    bool key;
};

// The program's encoder settings at kRate and kFps; frames come out at once.
class RateEncoder {
public:
    RateEncoder() {
        X264Settings settings;
        settings.set(kCompressionPropertyKey_ProfileLevel,
                     std::string(kProfileLevel_H264_High_4_2));
        settings.set(kCompressionPropertyKey_RealTime, true);
        settings.set(kCompressionPropertyKey_AllowFrameReordering, false);
        settings.set(kCompressionPropertyKey_AverageBitRate, kRate);
        settings.set(kCompressionPropertyKey_ExpectedFrameRate, int64_t(kFps));
        settings.set(kCompressionPropertyKey_MaxKeyFrameInterval, int64_t(2 * kFps));
        settings.set(kCompressionPropertyKey_MaxKeyFrameIntervalDuration, int64_t(2));
        x264_param_t param;
        EXPECT_TRUE(settings.parameters(kWidth, kHeight, &param));
        Status status = 0;
        encoder_ = X264Encoder::open(param, settings.maxKeyFrameSeconds(), settings.bitsPerSecond(),
                                     &status);
        EXPECT_TRUE(encoder_) << status;
    }

    void encode(const std::shared_ptr<ImageBuffer>& picture) {
        const int frame = next_++;
        encoder_->encode(
            picture, Time{frame, kFps}, frame == 0,
            [this, frame](Status status, uint32_t, std::shared_ptr<const SampleBuffer> sample) {
                ASSERT_EQ(status, 0);
                const AttachmentsArray* attachments = sampleAttachmentsArray(*sample);
                ASSERT_TRUE(attachments && !attachments->empty());
                const bool notSync =
                    std::get<bool>(attachments->front().at(kSampleAttachmentKeyNotSync));
                out.push_back({frame, int64_t(sample->dataBuffer->dataLength()) * 8, !notSync});
            });
    }

    std::vector<Encoded> out;

private:
    std::unique_ptr<X264Encoder> encoder_;
    int next_ = 0;
};

TEST(X264BitRate, HardContentKeepsToTheRateOverEveryHalfSecondAndUsesIt) {
    RateEncoder encoder;
    std::mt19937 random(5);
    for (int i = 0; i < 4 * kFps; ++i) encoder.encode(grain(random));
    ASSERT_EQ(encoder.out.size(), size_t(4 * kFps));
    // What a buffer of half a second, full at the start, lets through in any window:
    // what it held, and what flowed in meanwhile. The first frame has nothing to go by.
    const int window = kFps / 2;
    for (size_t start = 1; start + window <= encoder.out.size(); ++start) {
        double bits = 0;
        for (size_t i = start; i < start + window; ++i) bits += double(encoder.out[i].bits);
        ASSERT_LE(bits, kBufferBits + window * kBitsPerFrame) << "frames " << start << " on";
    }
    double lastThree = 0;
    for (size_t i = kFps; i < encoder.out.size(); ++i) lastThree += double(encoder.out[i].bits);
    EXPECT_GE(lastThree / 3, 0.7 * kRate) << "grain needs all of the rate";
}

TEST(X264BitRate, AScreenTurningToFarHarderContentComesAsAKeyFrameThatFits) {
    RateEncoder encoder;
    for (int i = 0; i < kFps; ++i) encoder.encode(flat(uint8_t(40 + i % 2)));
    std::mt19937 random(9);
    for (int i = 0; i < 10; ++i) encoder.encode(noise(random));
    ASSERT_EQ(encoder.out.size(), size_t(kFps + 10)) << "one output per frame, dropped or not";
    for (size_t i = 0; i < encoder.out.size(); ++i) EXPECT_EQ(encoder.out[i].frame, int(i));
    const Encoded& turn = encoder.out[kFps];
    EXPECT_TRUE(turn.key) << "the first hard picture, coded again as a key frame";
    EXPECT_LE(double(turn.bits), kBufferBits + kBitsPerFrame);
    for (size_t i = kFps + 1; i < encoder.out.size(); ++i) {
        EXPECT_FALSE(encoder.out[i].key) << "frame " << i;
        EXPECT_LE(double(encoder.out[i].bits), kBufferBits + kBitsPerFrame) << "frame " << i;
    }
}

}  // namespace
}  // namespace vx
