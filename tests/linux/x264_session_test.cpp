// The libx264 compression session: what the Annex-B conversion reads from its
// samples, key frames, the property table, and its handler contract.
#include "platform/linux/x264/x264_session.h"
#include "platform/nv12/image_buffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace vx {
namespace {

constexpr int kWidth = 320, kHeight = 240;

struct Output {
    Status status;
    std::shared_ptr<const SampleBuffer> sample;
    std::thread::id thread;
    int frame;
};

// Collects what the handlers receive; wait() blocks until `count` outputs came.
class Outputs {
public:
    OutputHandler handler(int frame) {
        return [this, frame](Status status, uint32_t, std::shared_ptr<const SampleBuffer> sample) {
            std::lock_guard<std::mutex> guard(mutex_);
            outputs_.push_back({status, std::move(sample), std::this_thread::get_id(), frame});
            changed_.notify_all();
        };
    }
    std::vector<Output> wait(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(20), [&] { return outputs_.size() >= count; });
        return outputs_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Output> outputs_;
};

std::shared_ptr<ImageBuffer> picture(int seed, int width = kWidth, int height = kHeight) {
    auto buffer = std::make_shared<ImageBuffer>(width, height);
    uint8_t* luma = buffer->plane(0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) luma[y * width + x] = uint8_t((x * 3 + y + seed * 8) & 0xff);
    std::fill(buffer->plane(1), buffer->plane(1) + width * height / 2, 128);
    return buffer;
}

// The program's settings at 60 fps and 2 Mbit/s.
std::shared_ptr<CompressionSession> programSession(int64_t maxKeyFrameInterval = 120) {
    std::shared_ptr<CompressionSession> session;
    EXPECT_EQ(CompressionSession::create(kWidth, kHeight, kCodecTypeH264,
                                         {{kEncoderSpecification_EnableLowLatencyRateControl, true},
                                          {kEncoderSpecification_RequireHardwareAcceleratedVideoEncoder, true}},
                                         &session), 0);
    const std::pair<const char*, PropertyValue> properties[] = {
        {kCompressionPropertyKey_ProfileLevel, std::string(kProfileLevel_H264_High_4_2)},
        {kCompressionPropertyKey_RealTime, true},
        {kCompressionPropertyKey_AllowFrameReordering, false},
        {kCompressionPropertyKey_AverageBitRate, int64_t(2000000)},
        {kCompressionPropertyKey_ExpectedFrameRate, int64_t(60)},
        {kCompressionPropertyKey_MaxKeyFrameInterval, maxKeyFrameInterval},
        {kCompressionPropertyKey_MaxKeyFrameIntervalDuration, int64_t(2)},
    };
    for (const auto& [key, value] : properties) EXPECT_EQ(session->setProperty(key, value), 0) << key;
    EXPECT_EQ(session->prepareToEncodeFrames(), 0);
    return session;
}

bool notSync(const SampleBuffer& sample) {
    const AttachmentsArray* attachments = sampleAttachmentsArray(sample);
    if (!attachments || attachments->empty()) return false;
    auto found = attachments->front().find(kSampleAttachmentKeyNotSync);
    return found != attachments->front().end() && std::get<bool>(found->second);
}

// The NAL unit types of a sample, read as 4-byte big-endian lengths and units; fails
// the test when the lengths do not add up to the data exactly.
std::vector<int> nalTypes(const SampleBuffer& sample) {
    std::vector<uint8_t> data(sample.dataBuffer->dataLength());
    EXPECT_EQ(sample.dataBuffer->copyDataBytes(0, data.size(), data.data()), 0);
    std::vector<int> types;
    size_t offset = 0;
    while (offset + 4 <= data.size()) {
        size_t length = size_t(data[offset]) << 24 | size_t(data[offset + 1]) << 16 |
                        size_t(data[offset + 2]) << 8 | data[offset + 3];
        EXPECT_GT(length, 0u);
        EXPECT_LE(offset + 4 + length, data.size());
        if (length == 0 || offset + 4 + length > data.size()) return types;
        types.push_back(data[offset + 4] & 0x1f);
        offset += 4 + length;
    }
    EXPECT_EQ(offset, data.size());
    return types;
}

TEST(X264Session, FirstFrameIsAnIdrFrameWithParameterSetsInItsDescription) {
    auto session = programSession();
    Outputs outputs;
    session->encodeFrame(picture(0), Time{1, 1000}, Time{1, 60}, nullptr, outputs.handler(0));
    auto received = outputs.wait(1);
    ASSERT_EQ(received.size(), 1u);
    ASSERT_EQ(received[0].status, 0);
    const SampleBuffer& sample = *received[0].sample;
    EXPECT_FALSE(notSync(sample));
    std::vector<int> types = nalTypes(sample);
    EXPECT_NE(std::find(types.begin(), types.end(), 5), types.end()) << "an IDR slice";
    EXPECT_EQ(std::count(types.begin(), types.end(), 7) + std::count(types.begin(), types.end(), 8), 0)
        << "SPS and PPS belong in the description, not the data";

    ASSERT_TRUE(sample.formatDescription);
    const uint8_t* sps = nullptr;
    const uint8_t* pps = nullptr;
    size_t spsSize = 0, ppsSize = 0, count = 0;
    int32_t headerLength = 0;
    ASSERT_EQ(sample.formatDescription->getH264ParameterSetAtIndex(0, &sps, &spsSize, &count, &headerLength), 0);
    ASSERT_EQ(sample.formatDescription->getH264ParameterSetAtIndex(1, &pps, &ppsSize, nullptr, nullptr), 0);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(headerLength, 4);
    ASSERT_GE(spsSize, 4u);
    EXPECT_EQ(sps[0] & 0x1f, 7);
    EXPECT_EQ(sps[1], 100) << "profile_idc: High";
    EXPECT_EQ(sps[3], 42) << "level_idc: 4.2";
    ASSERT_GE(ppsSize, 1u);
    EXPECT_EQ(pps[0] & 0x1f, 8);
    EXPECT_EQ(sample.presentationTime, (Time{1, 1000}));
}

TEST(X264Session, LaterFramesAreNotSyncUntilOneIsForced) {
    auto session = programSession();
    Outputs outputs;
    const FrameOptions force{{kEncodeFrameOptionKey_ForceKeyFrame, true}};
    const FrameOptions dontForce{{kEncodeFrameOptionKey_ForceKeyFrame, false}};
    const FrameOptions* options[] = {nullptr, nullptr, &dontForce, &force, nullptr};
    for (int i = 0; i < 5; ++i)
        session->encodeFrame(picture(i), Time{i, 60}, Time{1, 60}, options[i], outputs.handler(i));
    auto received = outputs.wait(5);
    ASSERT_EQ(received.size(), 5u);
    const bool expectedNotSync[] = {false, true, true, false, true};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(received[i].status, 0);
        EXPECT_EQ(notSync(*received[i].sample), expectedNotSync[i]);
        std::vector<int> types = nalTypes(*received[i].sample);
        ASSERT_FALSE(types.empty());
        for (int type : types) {
            if (type == 1 || type == 5) {
                EXPECT_EQ(type, expectedNotSync[i] ? 1 : 5);
            }
        }
    }
}

TEST(X264Session, KeyFrameIntervalIsTheSmallerOfTheTwoProperties) {
    auto session = programSession(/*maxKeyFrameInterval=*/10);  // 2 s at 60 fps is 120
    Outputs outputs;
    for (int i = 0; i < 25; ++i)
        session->encodeFrame(picture(i), Time{i, 60}, Time{1, 60}, nullptr, outputs.handler(i));
    auto received = outputs.wait(25);
    ASSERT_EQ(received.size(), 25u);
    for (int i = 0; i < 25; ++i) EXPECT_EQ(notSync(*received[i].sample), i % 10 != 0) << i;
}

TEST(X264Settings, KeyFrameInterval) {
    struct Case {
        std::optional<int64_t> frames, seconds, fps;
        int expected;
    } cases[] = {
        {120, 2, 60, 120}, {120, 1, 30, 30}, {10, 2, 60, 10},
        {std::nullopt, 2, 60, 120}, {60, std::nullopt, 60, 60}, {std::nullopt, std::nullopt, 60, 250},
    };
    for (const Case& c : cases) {
        X264Settings settings;
        if (c.frames) settings.set(kCompressionPropertyKey_MaxKeyFrameInterval, *c.frames);
        if (c.seconds) settings.set(kCompressionPropertyKey_MaxKeyFrameIntervalDuration, *c.seconds);
        if (c.fps) settings.set(kCompressionPropertyKey_ExpectedFrameRate, *c.fps);
        EXPECT_EQ(settings.keyFrameInterval(), c.expected);
    }
}

TEST(X264Session, RefusesUnknownKeysBadValuesAndLateProperties) {
    std::shared_ptr<CompressionSession> session;
    ASSERT_EQ(CompressionSession::create(kWidth, kHeight, kCodecTypeH264,
                                         {{kEncoderSpecification_RequireHardwareAcceleratedVideoEncoder, true}},
                                         &session), 0);
    EXPECT_NE(session->setProperty("MaxFrameDelayCount", int64_t(1)), 0);
    EXPECT_NE(session->setProperty(kCompressionPropertyKey_AverageBitRate, std::string("fast")), 0);
    EXPECT_NE(session->setProperty(kCompressionPropertyKey_ExpectedFrameRate, int64_t(0)), 0);
    EXPECT_NE(session->setProperty(kCompressionPropertyKey_ProfileLevel, std::string("H265_Main")), 0);
    EXPECT_EQ(session->setProperty(kCompressionPropertyKey_RealTime, true), 0);
    EXPECT_EQ(session->prepareToEncodeFrames(), 0);
    EXPECT_NE(session->setProperty(kCompressionPropertyKey_RealTime, true), 0);
}

TEST(X264Session, CreationChecksCodecAndSize) {
    std::shared_ptr<CompressionSession> session;
    EXPECT_NE(CompressionSession::create(kWidth, kHeight, 0x68766331 /* hvc1 */, {}, &session), 0);
    EXPECT_NE(CompressionSession::create(321, kHeight, kCodecTypeH264, {}, &session), 0);
    EXPECT_NE(CompressionSession::create(0, kHeight, kCodecTypeH264, {}, &session), 0);
    EXPECT_FALSE(session);
}

TEST(X264Session, PreparingFailsForWhatX264CannotTakeAndSucceedsAtTheLimits) {
    struct Case {
        int32_t width, height;
        int64_t bitsPerSecond;
        bool opens;
        const char* named;  // what the refusal's description says, with the limit
    };
    const Case cases[] = {
        {16384, 32, 2000000, true, ""},
        // x264 refuses it when it opens
        {16386, 32, 2000000, false, "at most 16384 pixels a side, not 16386x32"},
        {32, 16386, 2000000, false, "at most 16384 pixels a side, not 32x16386"},
        {64, 64, 2000000000, true, ""},
        // x264 would cut it to 2,000,000 kbit/s silently
        {64, 64, 2000001000, false, "at most 2000000 kbit/s, not 2000001"},
        // beyond what an int holds in kbit/s, up to what the option takes
        {64, 64, 2147483648000, false, "at most 2000000 kbit/s, not 2147483648"},
        {64, 64, 9223372036854775000, false, "at most 2000000 kbit/s, not 9223372036854775"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " at " +
                     std::to_string(c.bitsPerSecond));
        std::shared_ptr<CompressionSession> session;
        ASSERT_EQ(CompressionSession::create(c.width, c.height, kCodecTypeH264, {}, &session), 0);
        EXPECT_EQ(session->setProperty(kCompressionPropertyKey_AverageBitRate, c.bitsPerSecond), 0);
        const Status prepared = session->prepareToEncodeFrames();
        if (c.opens) EXPECT_EQ(prepared, 0);
        else EXPECT_EQ(prepared, kEncoderInvalidParameter);
        EXPECT_NE(session->statusDescription(prepared).find(c.named), std::string::npos)
            << session->statusDescription(prepared);
    }
}

TEST(X264Session, HandlerRunsOncePerFrameInOrderOnTheSessionsThread) {
    auto session = programSession();
    Outputs outputs;
    // Two submitting threads at once, as the capture queue and the repeat timer do.
    std::vector<std::thread::id> submitters;
    std::mutex orderMutex;
    std::vector<int> submitted;
    auto submit = [&](int first) {
        for (int i = first; i < first + 20; ++i) {
            std::lock_guard<std::mutex> guard(orderMutex);  // records the submission order
            session->encodeFrame(picture(i), Time{i, 60}, Time{1, 60}, nullptr, outputs.handler(i));
            submitted.push_back(i);
        }
    };
    std::thread a(submit, 0), b(submit, 100);
    submitters = {a.get_id(), b.get_id(), std::this_thread::get_id()};
    a.join();
    b.join();
    auto received = outputs.wait(40);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // no extra calls after that
    received = outputs.wait(40);
    ASSERT_EQ(received.size(), 40u);
    for (size_t i = 0; i < received.size(); ++i) {
        EXPECT_EQ(received[i].frame, submitted[i]);
        EXPECT_EQ(received[i].status, 0);
        EXPECT_EQ(received[i].sample->presentationTime, (Time{submitted[i], 60}));
        for (auto id : submitters) EXPECT_NE(received[i].thread, id);
    }
}

TEST(X264Session, FailedFramesStillGetTheirOneCall) {
    auto session = programSession();
    Outputs outputs;
    session->encodeFrame(picture(0, 160, 120), Time{0, 60}, Time{1, 60}, nullptr, outputs.handler(0));
    session->encodeFrame(nullptr, Time{1, 60}, Time{1, 60}, nullptr, outputs.handler(1));
    session->encodeFrame(picture(2), Time{2, 60}, Time{1, 60}, nullptr, outputs.handler(2));
    auto received = outputs.wait(3);
    ASSERT_EQ(received.size(), 3u);
    EXPECT_NE(received[0].status, 0);
    EXPECT_FALSE(received[0].sample);
    EXPECT_NE(received[1].status, 0);
    EXPECT_EQ(received[2].status, 0);
    EXPECT_FALSE(notSync(*received[2].sample)) << "the first frame encoded is still a key frame";
}

TEST(X264Session, FramesQueuedBeforeTheSessionIsReleasedAreAllAnswered) {
    Outputs outputs;
    {
        auto session = programSession();
        for (int i = 0; i < 10; ++i)
            session->encodeFrame(picture(i), Time{i, 60}, Time{1, 60}, nullptr, outputs.handler(i));
    }
    EXPECT_EQ(outputs.wait(10).size(), 10u);
}

}  // namespace
}  // namespace vx

namespace vx {
namespace {

TEST(X264SessionBackPressure, AHandlerThatWaitsHoldsBackTheCallersInsteadOfQueueingFrames) {
    // The handler of the first frame waits, as a write to a stalled pipe reader does.
    auto session = programSession();
    std::promise<void> readerResumes;
    std::shared_future<void> resumed = readerResumes.get_future().share();
    std::atomic<int> handled{0};
    auto waitingHandler = [&, resumed](Status, uint32_t, std::shared_ptr<const SampleBuffer>) {
        resumed.wait();
        handled++;
    };
    std::atomic<int> submitted{0};
    std::thread caller([&] {
        for (int i = 0; i < 6; ++i) {
            session->encodeFrame(picture(i), Time{i, 60}, Time{1, 60}, nullptr, waitingHandler);
            submitted++;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(submitted.load(), X264Session::kMaxPendingFrames + 1)
        << "frames kept being queued behind a handler that waits";
    readerResumes.set_value();
    caller.join();
    session.reset();  // finishes what is queued
    EXPECT_EQ(handled.load(), 6);
}

}  // namespace
}  // namespace vx

namespace vx {
namespace {

TEST(X264SessionKeyFrames, AKeyFrameComesEveryTwoSecondsOfPresentationTimeHoweverFewTheFrames) {
    // A still screen sends ten repeats a second: far fewer than the 120-frame limit
    // in two seconds, yet a key frame is due every two seconds all the same.
    auto session = programSession(120);
    Outputs outputs;
    const int64_t second = 1000000000;
    for (int i = 0; i < 9; ++i)
        session->encodeFrame(picture(i % 2), Time{i * second / 2, 1000000000}, Time{1, 60},
                             nullptr, outputs.handler(i));
    auto results = outputs.wait(9);
    ASSERT_EQ(results.size(), 9u);
    std::vector<bool> keys;
    for (const auto& output : results) keys.push_back(!notSync(*output.sample));
    // Frames every half second: key frames at 0, 2, and 4 seconds.
    EXPECT_EQ(keys, (std::vector<bool>{true, false, false, false, true, false, false, false, true}));
}

}  // namespace
}  // namespace vx
