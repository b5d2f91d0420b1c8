// The encoder against the scripted compression session: session attempts and their
// log lines, properties, per-frame options and the access units that come back.
#include "encode/video_encoder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/sim_picture.h"
#include "platform/sim/sim_script.h"

namespace vx {
namespace {

using Bytes = std::vector<uint8_t>;

// Collects what standard error receives while it lives.
class StandardErrorCapture {
public:
    StandardErrorCapture() : file_(std::tmpfile()), saved_(::dup(2)) {
        ::dup2(::fileno(file_), 2);
    }
    ~StandardErrorCapture() {
        restore();
        std::fclose(file_);
    }
    std::string text() {
        restore();
        std::string all;
        char buffer[512];
        ::lseek(::fileno(file_), 0, SEEK_SET);
        ssize_t got;
        while ((got = ::read(::fileno(file_), buffer, sizeof buffer)) > 0) all.append(buffer, size_t(got));
        return all;
    }

private:
    void restore() {
        if (saved_ < 0) return;
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    std::FILE* file_;
    int saved_;
};

// Access units as onAccessUnit receives them. A test waits for all the units it
// caused before it lets go of its encoder, and declares its Units ahead of the encoder.
class Units {
public:
    std::function<void(std::vector<uint8_t>)> callback() {
        return [this](std::vector<uint8_t> unit) {
            std::lock_guard<std::mutex> guard(mutex_);
            units_.push_back(std::move(unit));
            arrived_.notify_all();
        };
    }
    std::vector<Bytes> waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_.wait_for(lock, std::chrono::seconds(5), [&] { return units_.size() >= count; });
        return units_;
    }

private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Bytes> units_;
};

std::vector<std::string> linesStartingWith(const std::string& prefix) {
    std::vector<std::string> found;
    for (const auto& line : sim::record())
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    return found;
}

std::string optionsOf(const std::string& encodeLine) {
    auto at = encodeLine.find("options=");
    return encodeLine.substr(at + 8, encodeLine.find(' ', at) - at - 8);
}

std::shared_ptr<ImageBuffer> picture(uint8_t luma) { return simPicture(luma); }

std::shared_ptr<VideoEncoder> makeEncoder(sim::Script script = {}, int64_t fps = 60,
                                          int64_t bitrateKbps = 18000) {
    sim::setScript(std::move(script));
    return VideoEncoder::create(1280, 720, fps, bitrateKbps);
}

const std::string kLowLatency =
    "session create width=1280 height=720 codec=avc1 "
    "sampleSpec=EnableLowLatencyRateControl,RequireHardwareAcceleratedVideoEncoder";
const std::string kHardware =
    "session create width=1280 height=720 codec=avc1 sampleSpec=RequireHardwareAcceleratedVideoEncoder";

TEST(VideoEncoderCreate, FirstAttemptSucceedsQuietly) {
    StandardErrorCapture err;
    auto encoder = makeEncoder();
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(linesStartingWith("session create"), std::vector<std::string>{kLowLatency});
    EXPECT_EQ(linesStartingWith("session prepare").size(), 1u);
}

TEST(VideoEncoderCreate, FallsBackToTheStandardHardwareEncoderWithOneLine) {
    sim::Script script;
    script.createStatuses = {-12908, 0};
    StandardErrorCapture err;
    auto encoder = makeEncoder(script);
    EXPECT_EQ(err.text(), "low-latency encoder unavailable (-12908), using the standard hardware encoder\n");
    EXPECT_EQ(linesStartingWith("session create"), (std::vector<std::string>{kLowLatency, kHardware}));
}

TEST(VideoEncoderCreate, BothAttemptsFailingIsAnErrorCarryingTheSecondStatus) {
    sim::Script script;
    script.createStatuses = {-12908, -12915};
    StandardErrorCapture err;
    try {
        makeEncoder(script);
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.code, -12915);
        EXPECT_EQ(error.description, "no hardware H.264 encoder (-12915)");
    }
    EXPECT_EQ(err.text(), "low-latency encoder unavailable (-12908), using the standard hardware encoder\n");
    EXPECT_TRUE(linesStartingWith("session property").empty());
}

TEST(VideoEncoderCreate, NoSessionWithASuccessStatusFailsWithoutASecondAttempt) {
    sim::Script script;
    script.createReturnsNoSession = true;
    StandardErrorCapture err;
    try {
        makeEncoder(script);
        FAIL() << "no error";
    } catch (const Error& error) {
        EXPECT_EQ(error.code, 0);
        EXPECT_EQ(error.description, "no hardware H.264 encoder (0)");
    }
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(linesStartingWith("session create").size(), 1u);
}

TEST(VideoEncoderCreate, SettingsTheSessionCannotPrepareForFailWithItsDescription) {
    struct Case {
        Status status;
        std::string description;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {-12902, "width 16386 is above 16384", "width 16386 is above 16384"},
        {-12903, "", "the encoder refused its settings (-12903)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        sim::Script script;
        script.prepareStatus = c.status;
        script.prepareDescription = c.description;
        StandardErrorCapture err;
        try {
            makeEncoder(script);
            FAIL() << "no error";
        } catch (const Error& error) {
            EXPECT_EQ(error.code, c.status);
            EXPECT_EQ(error.description, c.expected);
        }
        EXPECT_EQ(err.text(), "");
        EXPECT_EQ(linesStartingWith("session prepare").size(), 1u);
    }
}

TEST(VideoEncoderCreate, SettingsBeyond32BitsAreRefusedBeforeTheSession) {
    struct Bad {
        int64_t width, height, fps, bitrate;
    };
    for (Bad bad : {Bad{int64_t(1) << 31, 720, 60, 18000}, Bad{1280, -(int64_t(1) << 32), 60, 18000},
                    Bad{1280, 720, int64_t(1) << 31, 18000}, Bad{1280, 720, 60, INT64_MAX / 999}}) {
        sim::setScript({});
        EXPECT_THROW(VideoEncoder::create(bad.width, bad.height, bad.fps, bad.bitrate), Error);
        EXPECT_TRUE(sim::record().empty());
    }
}

TEST(VideoEncoderCreate, RejectedPropertiesAreLoggedOneLineEachAndTheEncoderStillWorks) {
    sim::Script script;
    script.propertyStatuses = {{"RealTime", -12900}, {"AverageBitRate", -12901}};
    StandardErrorCapture err;
    Units units;
    auto encoder = makeEncoder(script);
    std::string text = err.text();
    std::multiset<std::string> lines;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.insert(text.substr(start, end - start));
    EXPECT_EQ(lines, (std::multiset<std::string>{"encoder ignored RealTime (-12900)",
                                                  "encoder ignored AverageBitRate (-12901)"}));
    EXPECT_EQ(linesStartingWith("session property").size(), 7u);

    encoder->onAccessUnit = units.callback();
    encoder->encode(picture(3), Time{1, 1000});
    EXPECT_EQ(units.waitFor(1).size(), 1u);
}

TEST(VideoEncoderCreate, PropertyValuesFollowFrameRateAndBitRate) {
    struct Case {
        int64_t fps, bitrate;
        std::vector<std::string> properties;
        std::string duration;
    };
    const std::vector<Case> cases = {
        {60, 18000,
         {"AllowFrameReordering=false", "AverageBitRate=18000000", "ExpectedFrameRate=60",
          "MaxKeyFrameInterval=120", "MaxKeyFrameIntervalDuration=2", "ProfileLevel=H264_High_4_2",
          "RealTime=true"},
         "duration=1/60"},
        {30, 18000,
         {"AllowFrameReordering=false", "AverageBitRate=18000000", "ExpectedFrameRate=30",
          "MaxKeyFrameInterval=60", "MaxKeyFrameIntervalDuration=2", "ProfileLevel=H264_High_4_2",
          "RealTime=true"},
         "duration=1/30"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fps);
        Units units;
        auto encoder = makeEncoder({}, c.fps, c.bitrate);
        encoder->onAccessUnit = units.callback();
        std::vector<std::string> properties;
        for (const auto& line : linesStartingWith("session property "))
            properties.push_back(line.substr(17));
        std::sort(properties.begin(), properties.end());
        EXPECT_EQ(properties, c.properties);

        encoder->encode(picture(1), Time{1, 1000});
        auto encodes = linesStartingWith("session encode");
        ASSERT_EQ(encodes.size(), 1u);
        EXPECT_NE(encodes[0].find(c.duration), std::string::npos) << encodes[0];
        units.waitFor(1);
    }
}

TEST(VideoEncoderEncode, PresentationTimeReachesTheSessionUnchanged) {
    Units units;
    auto encoder = makeEncoder();
    encoder->onAccessUnit = units.callback();
    encoder->encode(picture(1), Time{987654321012, 1000000000});
    auto encodes = linesStartingWith("session encode");
    ASSERT_EQ(encodes.size(), 1u);
    EXPECT_NE(encodes[0].find("pts=987654321012/1000000000 "), std::string::npos) << encodes[0];
    units.waitFor(1);
}

TEST(VideoEncoderEncode, OnlyTheFirstFrameAndTheFrameAfterRequestsAreForced) {
    Units units;
    auto encoder = makeEncoder();
    encoder->onAccessUnit = units.callback();
    encoder->encode(picture(1), Time{1, 60});
    encoder->encode(picture(2), Time{2, 60});
    encoder->requestKeyframe();
    encoder->requestKeyframe();
    encoder->requestKeyframe();
    encoder->encode(picture(3), Time{3, 60});
    encoder->encode(picture(4), Time{4, 60});
    std::vector<std::string> options;
    for (const auto& line : linesStartingWith("session encode")) options.push_back(optionsOf(line));
    EXPECT_EQ(options, (std::vector<std::string>{"ForceKeyFrame", "none", "ForceKeyFrame", "none"}));
    units.waitFor(4);
}

TEST(VideoEncoderEncode, AccessUnitsComeBackInAnnexBForm) {
    Units units;
    auto encoder = makeEncoder();
    encoder->onAccessUnit = units.callback();
    encoder->encode(picture(0x21), Time{1, 60});
    encoder->encode(picture(0x22), Time{2, 60});
    auto got = units.waitFor(2);
    ASSERT_EQ(got.size(), 2u);
    const Bytes key{0, 0, 0, 1, 0x67, 0x64, 0x00, 0x2a, 0xac, 0, 0, 0, 1, 0x68, 0xee, 0x3c, 0x80,
                    0, 0, 0, 1, 0x65, 0x21, 0x11, 0x22};
    const Bytes other{0, 0, 0, 1, 0x41, 0x22, 0x11, 0x22};
    EXPECT_EQ(got[0], key);
    EXPECT_EQ(got[1], other);
}

TEST(VideoEncoderEncode, ARefusedFrameLosesItsKeyFrameRequest) {
    sim::Script script;
    script.encodeStatus = -12911;
    auto encoder = makeEncoder(script);
    encoder->encode(picture(1), Time{1, 60});
    encoder->encode(picture(2), Time{2, 60});
    std::vector<std::string> options;
    for (const auto& line : linesStartingWith("session encode")) options.push_back(optionsOf(line));
    EXPECT_EQ(options, (std::vector<std::string>{"ForceKeyFrame", "none"}));
}

// The handler encode() installs, called the way a session could call it.
class OutputHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        encoder = makeEncoder();
        encoder->onAccessUnit = [this](std::vector<uint8_t> unit) { delivered.push_back(std::move(unit)); };
    }
    static std::shared_ptr<const SampleBuffer> sample(Bytes data) {
        auto s = std::make_shared<SampleBuffer>();
        s->attachments = AttachmentsArray{{{kSampleAttachmentKeyNotSync, true}}};
        s->formatDescription = std::make_shared<FormatDescription>();
        s->dataBuffer = std::make_shared<BlockBuffer>(std::move(data));
        return s;
    }
    std::shared_ptr<VideoEncoder> encoder;
    std::vector<Bytes> delivered;
};

TEST_F(OutputHandlerTest, DeliversTheUnitOfASuccessfulOutput) {
    VideoEncoder::outputHandler(encoder)(0, 0, sample({0, 0, 0, 1, 0x41}));
    EXPECT_EQ(delivered, (std::vector<Bytes>{{0, 0, 0, 1, 0x41}}));
}

TEST_F(OutputHandlerTest, DropsFailuresMissingSamplesAndEmptyUnits) {
    VideoEncoder::outputHandler(encoder)(-12911, 0, sample({0, 0, 0, 1, 0x41}));
    VideoEncoder::outputHandler(encoder)(0, 0, nullptr);
    VideoEncoder::outputHandler(encoder)(0, 0, sample({0, 0}));
    VideoEncoder::outputHandler(encoder)(0, 0, sample({0, 0, 0, 0, 0x41}));
    EXPECT_TRUE(delivered.empty());
}

TEST_F(OutputHandlerTest, DoesNotKeepTheEncoderAliveAndDropsOutputAfterIt) {
    OutputHandler handler = VideoEncoder::outputHandler(encoder);
    std::weak_ptr<VideoEncoder> watch = encoder;
    encoder.reset();
    EXPECT_TRUE(watch.expired());
    handler(0, 0, sample({0, 0, 0, 1, 0x41}));
    EXPECT_TRUE(delivered.empty());
}

TEST_F(OutputHandlerTest, WithoutACallbackTheUnitIsDropped) {
    // The handler is made with the frame, the output comes later: what counts is the
    // callback at that moment. Without one the unit is dropped, quietly.
    OutputHandler madeWithACallback = VideoEncoder::outputHandler(encoder);
    auto callback = std::move(encoder->onAccessUnit);
    encoder->onAccessUnit = nullptr;
    EXPECT_NO_THROW(madeWithACallback(0, 0, sample({0, 0, 0, 1, 0x41})));
    EXPECT_TRUE(delivered.empty()) << "delivered through a callback no longer set";

    OutputHandler madeWithout = VideoEncoder::outputHandler(encoder);
    encoder->onAccessUnit = std::move(callback);
    madeWithout(0, 0, sample({0, 0, 0, 1, 0x42}));
    EXPECT_EQ(delivered, (std::vector<Bytes>{{0, 0, 0, 1, 0x42}}));
}

}  // namespace
}  // namespace vx
