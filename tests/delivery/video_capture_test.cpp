// The frame pump driven by hand-made screen samples, encoding through the scripted
// compression session; what it encoded is read from the record's "session encode"
// lines. Time is a clock the tests move by hand and the repeat timer ticks when a
// test says so, so the cadence is checked exactly, however busy the machine. Each
// test paints its pictures with luma values of its own, so that the one test on the
// real timer (it lives as long as the process) cannot be mistaken for another's.
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
#include "tests/platform/manual_clock.h"

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
    int luma = -1;
};

std::string fieldOf(const std::string& line, const std::string& name) {
    auto at = line.find(name + "=") + name.size() + 1;
    return line.substr(at, line.find(' ', at) - at);
}

// Every encode so far, in the order the session was given the pictures.
std::vector<Encode> allEncodes() {
    std::vector<Encode> found;
    for (const auto& line : sim::record())
        if (line.rfind("session encode", 0) == 0)
            found.push_back({fieldOf(line, "pts"), fieldOf(line, "options"), std::stoi(fieldOf(line, "luma"))});
    return found;
}

// The encodes of pictures painted with luma, in order.
std::vector<Encode> encodesOf(int luma) {
    std::vector<Encode> found;
    const std::string tag = " luma=" + std::to_string(luma);
    for (const auto& line : sim::record()) {
        if (line.rfind("session encode", 0) != 0) continue;
        if (line.size() < tag.size() || line.compare(line.size() - tag.size(), tag.size(), tag) != 0)
            continue;
        found.push_back({fieldOf(line, "pts"), fieldOf(line, "options"), luma});
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

// The repeat timer as the tests drive it: tick() runs one tick on the caller's thread.
class ManualTimer {
public:
    VideoCapture::RepeatTimerFactory factory() {
        return [state = state_](uint64_t interval, std::function<void()> tick) -> std::shared_ptr<void> {
            state->interval = interval;
            state->tick = std::move(tick);
            return state;
        };
    }
    void tick() {
        ASSERT_TRUE(state_->tick) << "no timer installed";
        state_->tick();
    }
    uint64_t interval() const { return state_->interval; }

private:
    struct State {
        uint64_t interval = 0;
        std::function<void()> tick;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

class VideoCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::ignoreBrokenPipe();
        sim::setScript({});
        encoder = VideoEncoder::create(16, 16, 60, 1000);
        fifoPath = directory.file("video.fifo");
        fifo = FifoWriter::create(fifoPath);
        pump = VideoCapture::create(encoder, fifo, clock, timer.factory());
        // The pump outlives the test (see TearDown): the hints live as long as it.
        pump->onScreenFramesWanted = [hints = hints](bool wanted) {
            std::lock_guard<std::mutex> guard(hints->mutex);
            hints->told.push_back(wanted);
        };
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
    // What the writer tells the pump when a reader opens or leaves the pipe.
    void readerAttaches() { fifo->onReaderConnected(); }
    void readerLeaves() { fifo->onReaderDisconnected(); }
    // Moves the clock by one interval, as the timer does between two ticks, plus
    // lateness, and ticks.
    void tickAfter(std::chrono::nanoseconds elapsed) {
        clock->advance(elapsed);
        timer.tick();
    }
    std::vector<bool> hintsSoFar() {
        std::lock_guard<std::mutex> guard(hints->mutex);
        return hints->told;
    }

    test::TemporaryDirectory directory;
    std::string fifoPath;
    NullStream stream;
    std::shared_ptr<test::ManualClock> clock = std::make_shared<test::ManualClock>();
    ManualTimer timer;
    std::shared_ptr<VideoEncoder> encoder;
    std::shared_ptr<FifoWriter> fifo;
    std::shared_ptr<VideoCapture> pump;
    struct Hints {
        std::mutex mutex;
        std::vector<bool> told;
    };
    std::shared_ptr<Hints> hints = std::make_shared<Hints>();
};

TEST_F(VideoCaptureTest, OnlyCompleteScreenFramesAreEncoded) {
    readerAttaches();
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

TEST_F(VideoCaptureTest, AFrameOfAResizedScreenIsEncodedAsAKeyFrame) {
    readerAttaches();
    deliver(screenSample(freshLuma()));  // the first frame is a key frame anyway
    const struct {
        const char* what;
        AttachmentValue resized;
        const char* options;
    } cases[] = {
        {"the screen changed size", true, "ForceKeyFrame"},
        {"marked, but false", false, "none"},
        {"not a Boolean", int64_t(1), "none"},
        {"the screen changed size again", true, "ForceKeyFrame"},
    };
    for (const auto& c : cases) {
        const uint8_t luma = freshLuma();
        deliver(screenSample(luma, AttachmentsArray{{{kStreamFrameInfoStatus, int64_t(kFrameStatusComplete)},
                                                     {kStreamFrameInfoScreenResized, c.resized}}}));
        const uint8_t next = freshLuma();
        deliver(screenSample(next));
        ASSERT_EQ(encodesOf(luma).size(), 1u) << c.what;
        EXPECT_EQ(encodesOf(luma)[0].options, c.options) << c.what;
        EXPECT_EQ(encodesOf(next)[0].options, "none") << c.what << ": only that frame";
    }
}

TEST_F(VideoCaptureTest, NoFrameNoRepeatHoweverLongTheScreenStaysStill) {
    readerAttaches();
    pump->startRepeating(100);
    EXPECT_EQ(timer.interval(), 100'000'000u);
    const size_t before = allEncodes().size();
    for (int i = 0; i < 50; ++i) tickAfter(100ms);
    EXPECT_EQ(allEncodes().size(), before);
}

TEST_F(VideoCaptureTest, AStillScreenRepeatsTheLastCompleteFrameOnEveryTickEachWithItsOwnTime) {
    const uint8_t shown = freshLuma(), skipped = freshLuma();
    readerAttaches();
    pump->startRepeating(100);
    deliver(screenSample(shown));
    deliver(screenSample(skipped, withStatus(int64_t(kFrameStatusIdle))));  // must not replace it
    // Ticks are due every 100 ms and run a little late, by 3 ms and then by nothing,
    // and each repeat is stamped with the time its tick ran: the tick after a late one
    // finds 97 ms and must still count a whole interval, or the cadence halves.
    tickAfter(103ms);
    for (int i = 1; i < 10; ++i) tickAfter(i % 2 == 1 ? 97ms : 103ms);
    const auto encodes = encodesOf(shown);
    ASSERT_EQ(encodes.size(), 1u + 10u) << "the frame, then one repeat per interval";
    EXPECT_TRUE(encodesOf(skipped).empty());
    EXPECT_EQ(encodes[0].options, "ForceKeyFrame");
    for (size_t i = 1; i < encodes.size(); ++i) {
        EXPECT_NE(encodes[i].pts, encodes[i - 1].pts);
        EXPECT_EQ(encodes[i].options, "none");
    }
}

TEST_F(VideoCaptureTest, ARepeatWaitsForAWholeIntervalSinceTheLastEncode) {
    const uint8_t shown = freshLuma();
    readerAttaches();
    pump->startRepeating(100);
    deliver(screenSample(shown));
    tickAfter(90ms);
    EXPECT_EQ(encodesOf(shown).size(), 1u) << "90 ms after the frame is too early";
    tickAfter(10ms);
    EXPECT_EQ(encodesOf(shown).size(), 2u) << "a whole interval after the frame";
    tickAfter(50ms);
    EXPECT_EQ(encodesOf(shown).size(), 2u) << "half an interval after the repeat";
}

TEST_F(VideoCaptureTest, FramesArrivingEvery16MillisecondsAreNeverRepeated) {
    const uint8_t luma = freshLuma();
    readerAttaches();
    pump->startRepeating(100);
    constexpr int kFrames = 40;
    auto sinceTick = 0ms;
    for (int i = 0; i < kFrames; ++i) {
        clock->advance(16ms);
        sinceTick += 16ms;
        deliver(screenSample(luma));
        if (sinceTick >= 100ms) {
            timer.tick();
            sinceTick -= 100ms;
        }
    }
    EXPECT_EQ(encodesOf(luma).size(), size_t(kFrames));
}

TEST_F(VideoCaptureTest, WithoutAReaderNothingIsEncodedAndTheStreamIsToldSo) {
    const uint8_t early = freshLuma(), late = freshLuma();
    pump->startRepeating(100);
    deliver(screenSample(early));
    for (int i = 0; i < 5; ++i) tickAfter(100ms);
    EXPECT_TRUE(encodesOf(early).empty()) << "no frame and no repeat without a reader";

    readerAttaches();
    deliver(screenSample(late));
    ASSERT_EQ(encodesOf(late).size(), 1u);
    EXPECT_EQ(encodesOf(late)[0].options, "ForceKeyFrame");

    readerLeaves();
    deliver(screenSample(late));
    for (int i = 0; i < 5; ++i) tickAfter(100ms);
    EXPECT_EQ(encodesOf(late).size(), 1u) << "nothing once the reader has left";
    EXPECT_EQ(hintsSoFar(), (std::vector<bool>{true, false}));
}

TEST_F(VideoCaptureTest, AnAttachWaitsForTheStreamsFreshFrameBeforeTheRememberedOne) {
    const uint8_t stale = freshLuma(), fresh = freshLuma();
    pump->startRepeating(100);
    deliver(screenSample(stale));  // no reader: remembered only
    tickAfter(1s);

    readerAttaches();
    tickAfter(30ms);
    EXPECT_TRUE(encodesOf(stale).empty()) << "the remembered frame may be stale: the fresh one is awaited";
    deliver(screenSample(fresh));
    ASSERT_EQ(encodesOf(fresh).size(), 1u);
    EXPECT_EQ(encodesOf(fresh)[0].options, "ForceKeyFrame");
    tickAfter(70ms);
    EXPECT_TRUE(encodesOf(stale).empty());
}

TEST_F(VideoCaptureTest, AnAttachWithoutAFreshFrameGetsTheRememberedOneWithinAnInterval) {
    // A stream that ignores the hint (or a still screen where it sends nothing).
    const uint8_t remembered = freshLuma();
    pump->startRepeating(100);
    deliver(screenSample(remembered));
    tickAfter(1s);
    readerAttaches();
    tickAfter(20ms);
    EXPECT_TRUE(encodesOf(remembered).empty());
    tickAfter(40ms);
    ASSERT_EQ(encodesOf(remembered).size(), 1u) << "half an interval after the attach";
    EXPECT_EQ(encodesOf(remembered)[0].options, "ForceKeyFrame");
    tickAfter(100ms);
    EXPECT_EQ(encodesOf(remembered).size(), 2u) << "then the usual repeats";
}

TEST_F(VideoCaptureTest, PicturesReachTheEncoderInCaptureOrderWithRisingTimes) {
    // Frames and ticks race; whatever the interleaving, a repeat never hands over a
    // picture older than one already encoded, and no time goes backwards. The session
    // takes a while over each frame, as a real one does, which widens the race.
    sim::Script slow;
    slow.encodeDelayMicroseconds = 300;
    sim::setScript(slow);
    readerAttaches();
    pump->startRepeating(1);
    std::vector<uint8_t> lumas;
    for (int i = 0; i < 150; ++i) lumas.push_back(freshLuma());
    const size_t before = allEncodes().size();
    std::atomic<bool> capturing{true};
    std::thread ticking([&] {
        while (capturing) timer.tick();
    });
    for (uint8_t luma : lumas) {
        clock->advance(1ms);  // every tick may repeat
        deliver(screenSample(luma));
    }
    capturing = false;
    ticking.join();

    const auto encodes = allEncodes();
    ASSERT_GT(encodes.size(), before);
    int lastIndex = -1;
    int64_t lastPts = -1;
    for (size_t i = before; i < encodes.size(); ++i) {
        const int index = int(std::find(lumas.begin(), lumas.end(), uint8_t(encodes[i].luma)) - lumas.begin());
        ASSERT_LT(index, int(lumas.size())) << "a picture of another test";
        EXPECT_GE(index, lastIndex) << "picture " << index << " after picture " << lastIndex;
        const int64_t pts = std::stoll(encodes[i].pts);
        EXPECT_GT(pts, lastPts) << "presentation times must rise";
        lastIndex = std::max(lastIndex, index);
        lastPts = pts;
    }
}

TEST_F(VideoCaptureTest, AReaderAttachingDuringAStillScreenGetsAKeyFrameWithTheNextRepeat) {
    ASSERT_EQ(::mkfifo(fifoPath.c_str(), 0600), 0);
    const uint8_t luma = freshLuma();
    pump->startRepeating(100);
    fifo->start();
    deliver(screenSample(luma));
    tickAfter(100ms);
    EXPECT_TRUE(encodesOf(luma).empty()) << "no reader yet";

    test::PipeReader reader(fifoPath);
    // The writer's thread tells the pump; wait until the attach has reached it.
    const auto deadline = Clock::now() + 5s;
    while (hintsSoFar().empty() && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(hintsSoFar(), std::vector<bool>{true});
    tickAfter(100ms);

    const Bytes keyUnit{0, 0, 0, 1, 0x67, 0x64, 0x00, 0x2a, 0xac, 0, 0, 0, 1, 0x68, 0xee, 0x3c, 0x80,
                        0, 0, 0, 1, 0x65, luma, 0x11, 0x22};
    EXPECT_EQ(reader.read(keyUnit.size(), 3s), keyUnit) << "the reader's first bytes are the key frame";
    tickAfter(100ms);
    const auto after = encodesOf(luma);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].options, "ForceKeyFrame");
    EXPECT_EQ(after[1].options, "none") << "one key frame for one reader";
}

TEST_F(VideoCaptureTest, TheRealTimerRepeatsAStillScreen) {
    // The one check on the host clock and the real timer: generous bounds only.
    auto realPump = VideoCapture::create(encoder, fifo);
    static auto* kept = new std::vector<std::shared_ptr<void>>;
    kept->push_back(realPump);
    fifo->onReaderConnected();
    const uint8_t shown = freshLuma();
    realPump->startRepeating(100);
    realPump->didOutputSampleBuffer(stream, screenSample(shown), OutputType::screen);
    const auto encodes = waitForEncodes(shown, 4, 10s);
    EXPECT_GE(encodes.size(), 4u) << "a still screen is repeated";
}

}  // namespace
}  // namespace vx
