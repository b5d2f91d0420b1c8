// The frame pump driven by hand-made screen samples, encoding through the scripted
// compression session; what it encoded is read from the record's "session encode"
// lines. Each test paints its pictures with luma values of its own, so that the
// repeat timers of earlier tests (they live as long as the process) cannot be
// mistaken for this test's.
#include "delivery/video_capture.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "platform/sim/sim_picture.h"
#include "platform/sim/sim_script.h"
#include "tests/delivery/pipe_reader.h"
#include "tests/delivery/temporary_directory.h"

namespace vx {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

// A stream the frame pump is handed with each sample; never used by it.
class NullStream : public Stream {
public:
    std::optional<Error> addStreamOutput(std::shared_ptr<StreamOutput>, OutputType,
                                         std::shared_ptr<SerialQueue>) override {
        return std::nullopt;
    }
    void startCapture(std::function<void(std::optional<Error>)>) override {}
};

uint8_t freshLuma() {
    static std::atomic<int> next{0x30};
    return uint8_t(next++);
}

AttachmentsArray withStatus(AttachmentValue status) {
    return AttachmentsArray{{{kStreamFrameInfoStatus, status}}};
}

SampleBuffer screenSample(uint8_t luma,
                          std::optional<AttachmentsArray> attachments = withStatus(int64_t(0))) {
    SampleBuffer sample;
    sample.imageBuffer = simPicture(luma);
    sample.attachments = std::move(attachments);
    return sample;
}

struct Encode {
    std::string pts;
    std::string options;
};

// The encodes of pictures painted with luma, in order.
std::vector<Encode> encodesOf(int luma) {
    std::vector<Encode> found;
    const std::string tag = " luma=" + std::to_string(luma);
    for (const auto& line : sim::record()) {
        if (line.rfind("session encode", 0) != 0) continue;
        if (line.size() < tag.size() || line.compare(line.size() - tag.size(), tag.size(), tag) != 0)
            continue;
        auto field = [&](const std::string& name) {
            auto at = line.find(name + "=") + name.size() + 1;
            return line.substr(at, line.find(' ', at) - at);
        };
        found.push_back({field("pts"), field("options")});
    }
    return found;
}

std::vector<Encode> waitForEncodes(int luma, size_t count, std::chrono::milliseconds timeout = 3s) {
    auto deadline = Clock::now() + timeout;
    std::vector<Encode> found;
    while ((found = encodesOf(luma)).size() < count && Clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    return found;
}

class VideoCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::ignoreBrokenPipe();
        sim::setScript({});
        encoder = VideoEncoder::create(16, 16, 60, 1000);
        fifoPath = directory.file("video.fifo");
        fifo = FifoWriter::create(fifoPath);
        pump = VideoCapture::create(encoder, fifo);
    }
    void TearDown() override {
        // As in the program, the encoder, the writer and the pump live as long as the
        // process (they hold each other, and a repeat timer holds the pump).
        static auto* kept = new std::vector<std::shared_ptr<void>>;
        kept->insert(kept->end(), {encoder, fifo, pump});
    }
    void deliver(const SampleBuffer& sample, OutputType type = OutputType::screen) {
        pump->didOutputSampleBuffer(stream, sample, type);
    }

    test::TemporaryDirectory directory;
    std::string fifoPath;
    NullStream stream;
    std::shared_ptr<VideoEncoder> encoder;
    std::shared_ptr<FifoWriter> fifo;
    std::shared_ptr<VideoCapture> pump;
};

TEST_F(VideoCaptureTest, OnlyCompleteScreenFramesAreEncoded) {
    const uint8_t luma = freshLuma();
    struct Case {
        const char* name;
        SampleBuffer sample;
        OutputType type = OutputType::screen;
    };
    std::vector<Case> ignored;
    ignored.push_back({"audio output type", screenSample(luma), OutputType::audio});
    ignored.push_back({"invalid sample", [&] {
                           auto s = screenSample(luma);
                           s.valid = false;
                           return s;
                       }()});
    ignored.push_back({"no image", [&] {
                           auto s = screenSample(luma);
                           s.imageBuffer.reset();
                           return s;
                       }()});
    ignored.push_back({"no attachments", screenSample(luma, std::nullopt)});
    ignored.push_back({"empty attachments", screenSample(luma, AttachmentsArray{})});
    ignored.push_back({"empty first dictionary",
                       screenSample(luma, AttachmentsArray{{}, {{kStreamFrameInfoStatus, int64_t(0)}}})});
    ignored.push_back({"no status entry", screenSample(luma, AttachmentsArray{{{"Other", int64_t(0)}}})});
    for (int64_t status : {1, 2, 3, 4, 5, -1})
        ignored.push_back({"status other than complete", screenSample(luma, withStatus(status))});
    ignored.push_back({"status as text", screenSample(luma, withStatus(std::string("0")))});
    ignored.push_back({"status as a Boolean", screenSample(luma, withStatus(false))});
    ignored.push_back({"status as a real number", screenSample(luma, withStatus(0.0))});

    for (const Case& c : ignored) {
        SCOPED_TRACE(c.name);
        deliver(c.sample, c.type);
        EXPECT_TRUE(encodesOf(luma).empty());
    }
    deliver(screenSample(luma));
    EXPECT_EQ(encodesOf(luma).size(), 1u);
}

TEST_F(VideoCaptureTest, NoFrameNoRepeatHoweverLongTheScreenStaysStill) {
    pump->startRepeating(100);
    std::this_thread::sleep_for(450ms);
    for (const auto& line : sim::record())
        EXPECT_EQ(line.find("luma=-1"), std::string::npos) << line;
}

TEST_F(VideoCaptureTest, AStillScreenRepeatsTheLastCompleteFrameEachWithItsOwnTime) {
    const uint8_t shown = freshLuma(), skipped = freshLuma();
    pump->startRepeating(100);
    const auto start = Clock::now();
    deliver(screenSample(shown));
    deliver(screenSample(skipped, withStatus(int64_t(kFrameStatusIdle))));  // must not replace it
    std::this_thread::sleep_for(1000ms);
    const auto encodes = encodesOf(shown);
    const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();

    ASSERT_FALSE(encodes.empty());
    const size_t repeats = encodes.size() - 1;
    EXPECT_GE(repeats, 3u) << "a still second should bring about ten repeats";
    EXPECT_LE(repeats, size_t(elapsedMs / 100)) << "at most one repeat per tick";
    EXPECT_TRUE(encodesOf(skipped).empty());
    for (size_t i = 1; i < encodes.size(); ++i) {
        EXPECT_NE(encodes[i].pts, encodes[i - 1].pts);
        EXPECT_EQ(encodes[i].options, "none");
    }
}

TEST_F(VideoCaptureTest, AStillScreenIsRepeatedOnEveryTickNotEveryOther) {
    // Each repeat is stamped a little after its tick was due; the next tick must
    // still count a whole interval, or the cadence halves.
    const uint8_t shown = freshLuma();
    deliver(screenSample(shown));
    pump->startRepeating(50);
    std::this_thread::sleep_for(1000ms);
    const size_t repeats = encodesOf(shown).size() - 1;
    EXPECT_GE(repeats, 14u) << "about 19 ticks fell due; every other one would give under 10";
    EXPECT_LE(repeats, 21u);
}

TEST_F(VideoCaptureTest, FramesArrivingEvery16MillisecondsAreNeverRepeated) {
    const uint8_t luma = freshLuma();
    pump->startRepeating(100);
    constexpr int kFrames = 40;
    auto due = Clock::now();
    auto last = due;
    auto longestGap = Clock::duration::zero();
    for (int i = 0; i < kFrames; ++i) {
        std::this_thread::sleep_until(due);
        auto now = Clock::now();
        longestGap = std::max(longestGap, now - last);
        last = now;
        deliver(screenSample(luma));
        due += 16ms;
    }
    const auto encodes = encodesOf(luma);
    if (longestGap >= 90ms) GTEST_SKIP() << "the machine was too busy to deliver frames 16 ms apart";
    EXPECT_EQ(encodes.size(), size_t(kFrames));
}

TEST_F(VideoCaptureTest, AReaderAttachingDuringAStillScreenGetsAKeyFrameWithTheNextRepeat) {
    ASSERT_EQ(::mkfifo(fifoPath.c_str(), 0600), 0);
    const uint8_t luma = freshLuma();
    pump->startRepeating(100);
    fifo->start();
    deliver(screenSample(luma));
    // The screen is still: wait until repeats of the frame, not forced, are going on.
    auto before = waitForEncodes(luma, 2);
    ASSERT_GE(before.size(), 2u);
    EXPECT_EQ(before[1].options, "none");

    test::PipeReader reader(fifoPath);
    const Bytes keyUnit{0, 0, 0, 1, 0x67, 0x64, 0x00, 0x2a, 0xac, 0, 0, 0, 1, 0x68, 0xee, 0x3c, 0x80,
                        0, 0, 0, 1, 0x65, luma, 0x11, 0x22};
    Bytes received;
    const auto deadline = Clock::now() + 3s;
    while (Clock::now() < deadline &&
           std::search(received.begin(), received.end(), keyUnit.begin(), keyUnit.end()) == received.end()) {
        Bytes more = reader.read(keyUnit.size(), 500ms);
        received.insert(received.end(), more.begin(), more.end());
    }
    EXPECT_NE(std::search(received.begin(), received.end(), keyUnit.begin(), keyUnit.end()), received.end())
        << "no key frame reached the reader; " << received.size() << " bytes came";

    auto after = encodesOf(luma);
    auto forced = std::count_if(after.begin() + 1, after.end(),
                                [](const Encode& e) { return e.options == "ForceKeyFrame"; });
    EXPECT_EQ(forced, 1) << "one key frame for one reader";
}

}  // namespace
}  // namespace vx
