// The X11 pieces against a private Xvfb: the monitor list, and the screen source's
// frames: only on change, only inside the monitor, at most the frame rate, never into
// a picture still held downstream, every change shown however the pictures take turns,
// nothing read while frames are not wanted and a fresh frame once they are, frames on
// a server without DAMAGE, and the stop when the server goes away. Timing is checked
// only with generous bounds: the machines running the tests are busy.
#include "platform/linux/x11/x11_monitors.h"
#include "platform/linux/x11/x11_screen_source.h"
#include "platform/nv12/image_buffer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "private_x_server.h"  // after the platform headers: Xlib defines macros

namespace vx {
namespace {

using namespace std::chrono_literals;

// BT.709 video-range luma of the colours the tests paint.
constexpr int kWhiteLuma = 235, kBlackLuma = 16;

uint8_t lumaAt(const SampleBuffer& sample, int x, int y) {
    const ImageBuffer& p = *sample.imageBuffer;
    return p.plane(0)[size_t(y) * p.stride(0) + x];
}

// What a source delivered and whether it stopped.
class Received {
public:
    CaptureSource::Deliver deliver() {
        return [this](std::shared_ptr<const SampleBuffer> sample) {
            std::lock_guard<std::mutex> guard(mutex_);
            samples_.push_back(std::move(sample));
            changed_.notify_all();
        };
    }
    CaptureSource::Stopped stopped() {
        return [this](const Error& error) {
            std::lock_guard<std::mutex> guard(mutex_);
            errors_.push_back(error);
            changed_.notify_all();
        };
    }
    size_t count() {
        std::lock_guard<std::mutex> guard(mutex_);
        return samples_.size();
    }
    // Waits until at least n samples came (or the time is up); returns the count.
    size_t waitFor(size_t n, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return samples_.size() >= n; });
        return samples_.size();
    }
    std::vector<Error> waitForStop(std::chrono::milliseconds limit = 10000ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, limit, [&] { return !errors_.empty(); });
        return errors_;
    }
    std::vector<std::shared_ptr<const SampleBuffer>> take() {
        std::lock_guard<std::mutex> guard(mutex_);
        return std::exchange(samples_, {});
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::shared_ptr<const SampleBuffer>> samples_;
    std::vector<Error> errors_;
};

class X11ScreenSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server_.running()) GTEST_SKIP() << "Xvfb is not available";
        server_.fill(0x336699, 0, 0, 320, 240);
        server_.movePointer(319, 239);
    }

    std::unique_ptr<X11ScreenSource> start(Display monitor, int fps = 60, int64_t queueDepth = 4,
                                           int width = 160, int height = 120, bool cursor = false) {
        ContentFilter filter{monitor, {}, {}};
        StreamConfiguration configuration;
        configuration.setWidth(width);
        configuration.setHeight(height);
        configuration.setMinimumFrameInterval(Time{1, fps});
        configuration.setQueueDepth(queueDepth);
        configuration.setShowsCursor(cursor);
        auto source = std::make_unique<X11ScreenSource>(filter, configuration);
        EXPECT_EQ(source->start(received_.deliver(), received_.stopped()), std::nullopt);
        return source;
    }

    // Lets the source settle, then reports how many samples came in `quiet`.
    size_t samplesWithin(std::chrono::milliseconds quiet) {
        size_t before = received_.count();
        std::this_thread::sleep_for(quiet);
        return received_.count() - before;
    }

    test::PrivateXServer server_{320, 240};
    Received received_;
    const Display whole_{0, 320, 240, 0, 0};
};

TEST_F(X11ScreenSourceTest, StillScreenGivesOneFrameThenNothingUntilItChanges) {
    auto source = start(whole_);
    ASSERT_GE(received_.waitFor(1), 1u);
    std::this_thread::sleep_for(200ms);  // the server may still be drawing its pointer sprite
    EXPECT_EQ(samplesWithin(500ms), 0u) << "a still screen delivers nothing";

    server_.fill(0xffffff, 10, 10, 20, 20);
    EXPECT_GE(received_.waitFor(2), 2u) << "a change is delivered";
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(samplesWithin(400ms), 0u);
}

TEST_F(X11ScreenSourceTest, AStillPointerCostsNoFramesAndAWarpedOneIsStillFound) {
    // The server reports the pointer moved by a device, not one a program warps; the
    // position is checked now and then all the same.
    auto source = start(whole_, 60, 4, 160, 120, /*cursor=*/true);
    ASSERT_GE(received_.waitFor(1), 1u);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(samplesWithin(500ms), 0u) << "a still screen with a still pointer delivers nothing";

    const size_t before = received_.count();
    server_.movePointer(100, 100);
    EXPECT_GE(received_.waitFor(before + 1, 1000ms), before + 1) << "the warped pointer is drawn";
}

TEST_F(X11ScreenSourceTest, SamplesAreCompleteFramesOfTheConfiguredSize) {
    auto source = start(whole_);
    ASSERT_GE(received_.waitFor(1), 1u);
    server_.fill(0xffffff, 0, 0, 50, 50);
    ASSERT_GE(received_.waitFor(2), 2u);
    Time previous{0, 0};
    for (const auto& sample : received_.take()) {
        EXPECT_TRUE(sample->isValid());
        ASSERT_TRUE(sample->imageBuffer);
        EXPECT_EQ(sample->imageBuffer->width(), 160);
        EXPECT_EQ(sample->imageBuffer->height(), 120);
        ASSERT_TRUE(sample->attachments);
        ASSERT_EQ(sample->attachments->size(), 1u);
        const AttachmentDictionary& info = sample->attachments->front();
        ASSERT_EQ(info.size(), 1u);
        EXPECT_EQ(std::get<int64_t>(info.at(kStreamFrameInfoStatus)), kFrameStatusComplete);
        EXPECT_EQ(sample->presentationTime.timescale, 1000000000);
        EXPECT_GT(sample->presentationTime.value, previous.value);
        previous = sample->presentationTime;
    }
}

TEST_F(X11ScreenSourceTest, ChangesOutsideTheMonitorAreNotDelivered) {
    auto source = start(Display{0, 160, 240, 0, 0});  // the left half
    ASSERT_GE(received_.waitFor(1), 1u);
    std::this_thread::sleep_for(200ms);
    server_.fill(0xffffff, 200, 10, 40, 40);
    EXPECT_EQ(samplesWithin(400ms), 0u);
    server_.fill(0xffffff, 10, 10, 40, 40);
    EXPECT_GE(received_.waitFor(2), 2u);
}

TEST_F(X11ScreenSourceTest, FramesComeAtMostAtTheFrameRate) {
    auto source = start(whole_, /*fps=*/10);
    ASSERT_GE(received_.waitFor(1), 1u);
    auto until = std::chrono::steady_clock::now() + 1s;
    for (int i = 0; std::chrono::steady_clock::now() < until; ++i) {
        server_.fill(i % 2 ? 0xffffff : 0x000000, 0, 0, 40, 40);
        std::this_thread::sleep_for(4ms);
    }
    size_t frames = received_.count();
    EXPECT_GE(frames, 2u);
    EXPECT_LE(frames, 14u) << "about 10 in a second at 10 fps";
}

TEST_F(X11ScreenSourceTest, AudioModesTinyPicturesComeAtMostOnceASecond) {
    auto source = start(whole_, /*fps=*/1, 4, /*width=*/2, /*height=*/2);
    ASSERT_GE(received_.waitFor(1), 1u);
    auto until = std::chrono::steady_clock::now() + 1500ms;
    for (int i = 0; std::chrono::steady_clock::now() < until; ++i) {
        server_.fill(i % 2 ? 0xffffff : 0x000000, 0, 0, 320, 240);
        std::this_thread::sleep_for(10ms);
    }
    auto samples = received_.take();
    EXPECT_GE(samples.size(), 1u);
    EXPECT_LE(samples.size(), 3u);
    for (const auto& sample : samples) {
        EXPECT_EQ(sample->imageBuffer->width(), 2);
        EXPECT_EQ(sample->imageBuffer->height(), 2);
    }
}

TEST_F(X11ScreenSourceTest, PicturesHeldDownstreamAreNeverReused) {
    auto source = start(whole_, 60, /*queueDepth=*/3);
    ASSERT_GE(received_.waitFor(1), 1u);
    for (int i = 0; received_.count() < 3 && i < 100; ++i) {
        server_.fill(0xffffff * (i % 2), 0, 0, 40, 40);
        std::this_thread::sleep_for(20ms);
    }
    std::vector<std::shared_ptr<const SampleBuffer>> held = received_.take();
    ASSERT_EQ(held.size(), 3u);
    std::vector<std::vector<uint8_t>> copies;
    for (const auto& sample : held)
        copies.emplace_back(sample->imageBuffer->plane(0), sample->imageBuffer->plane(0) + 160 * 120);

    for (int i = 0; i < 15; ++i) {  // changes keep coming while every picture is held
        server_.fill(i % 2 ? 0xff0000 : 0x00ff00, 0, 0, 320, 240);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(received_.count(), 0u) << "no free picture: frames are dropped";
    for (size_t i = 0; i < held.size(); ++i)
        EXPECT_TRUE(std::equal(copies[i].begin(), copies[i].end(), held[i]->imageBuffer->plane(0)))
            << "held picture " << i << " was overwritten";

    held.clear();
    EXPECT_GE(received_.waitFor(1), 1u) << "the pending change comes once a picture is free";
}

TEST_F(X11ScreenSourceTest, EveryChangeShowsInEveryPictureWhateverPictureComesNext) {
    // Small squares, one more per frame, each somewhere else: a picture of the pool that
    // was last written several frames ago must still show the squares painted since.
    auto source = start(whole_);
    ASSERT_GE(received_.waitFor(1), 1u);
    received_.take();
    for (int i = 0; i < 12; ++i) {
        const int x = 20 + (i % 6) * 48, y = 30 + (i / 6) * 100;
        server_.fill(0xffffff, x, y, 24, 24);
        ASSERT_GE(received_.waitFor(1), 1u) << "square " << i;
        std::this_thread::sleep_for(30ms);  // the change has come whole
        auto samples = received_.take();
        const SampleBuffer& last = *samples.back();
        for (int j = 0; j <= i; ++j) {
            const int cx = (20 + (j % 6) * 48 + 12) / 2, cy = (30 + (j / 6) * 100 + 12) / 2;
            EXPECT_NEAR(lumaAt(last, cx, cy), kWhiteLuma, 4) << "square " << j << " in picture " << i;
        }
        EXPECT_NEAR(lumaAt(last, 2, 2), 97, 4) << "the background stays";
    }
}

TEST_F(X11ScreenSourceTest, NothingWhileFramesAreNotWantedThenAFreshFrameAtOnce) {
    auto source = start(whole_);
    ASSERT_GE(received_.waitFor(1), 1u);
    source->setFramesWanted(false);
    std::this_thread::sleep_for(100ms);
    received_.take();
    for (int i = 0; i < 10; ++i) {
        server_.fill(i % 2 ? 0xffffff : 0x000000, 0, 0, 320, 240);
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(samplesWithin(300ms), 0u) << "nothing is read while frames are not wanted";
    EXPECT_EQ(received_.count(), 0u);

    source->setFramesWanted(true);
    ASSERT_GE(received_.waitFor(1, 3000ms), 1u) << "a frame once they are wanted again";
    auto samples = received_.take();
    EXPECT_NEAR(lumaAt(*samples.front(), 80, 60), kWhiteLuma, 4) << "the screen as it is now";
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(samplesWithin(300ms), 0u) << "and then nothing until the screen changes";
}

TEST(X11ScreenSourceSizes, APictureTooLargeIsRefusedNamingTheLimit) {
    for (int64_t width : {int64_t(16386), int64_t(1)}) {
        ContentFilter filter{Display{0, 320, 240, 0, 0}, {}, {}};
        StreamConfiguration configuration;
        configuration.setWidth(width);
        configuration.setHeight(32);
        X11ScreenSource source(filter, configuration);
        auto error = source.start([](std::shared_ptr<const SampleBuffer>) {}, [](const Error&) {});
        ASSERT_TRUE(error) << width;
        EXPECT_NE(error->code, 0);
        EXPECT_NE(error->description.find(std::to_string(width) + "x32"), std::string::npos) << error->description;
        EXPECT_NE(error->description.find("16384"), std::string::npos) << error->description;
    }
}

TEST(X11ScreenSourceWithoutDamage, ChangesStillGiveFramesShowingThem) {
    test::PrivateXServer server(320, 240, {"-extension", "DAMAGE"});
    if (!server.running()) GTEST_SKIP() << "Xvfb is not available";
    server.fill(0x336699, 0, 0, 320, 240);
    server.movePointer(319, 239);
    Received received;
    ContentFilter filter{Display{0, 320, 240, 0, 0}, {}, {}};
    StreamConfiguration configuration;
    configuration.setWidth(160);
    configuration.setHeight(120);
    configuration.setMinimumFrameInterval(Time{1, 30});
    configuration.setShowsCursor(false);
    X11ScreenSource source(filter, configuration);
    ASSERT_EQ(source.start(received.deliver(), received.stopped()), std::nullopt);
    ASSERT_GE(received.waitFor(1), 1u);
    std::this_thread::sleep_for(200ms);
    received.take();
    for (int i = 0; i < 20; ++i) {  // 20 changes in about a second
        server.fill(i % 2 ? 0xffffff : 0x000000, 0, 0, 320, 240);
        std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(200ms);
    auto samples = received.take();
    EXPECT_GE(samples.size(), 5u) << "changes are found by comparing what is read";
    ASSERT_FALSE(samples.empty());
    EXPECT_NEAR(lumaAt(*samples.back(), 80, 60), kWhiteLuma, 4) << "the last change shows";
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(received.count(), 0u) << "a still screen gives nothing";
}

TEST_F(X11ScreenSourceTest, LosingTheServerStopsOnceWithTheDisplayNamed) {
    auto source = start(whole_);
    ASSERT_GE(received_.waitFor(1), 1u);
    server_.kill();
    std::vector<Error> errors = received_.waitForStop();
    std::this_thread::sleep_for(100ms);
    errors = received_.waitForStop();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].description, "lost the connection to X display \"" + server_.name() + "\"");
}

TEST(X11Monitors, ListsTheMonitorsInTheServersOrder) {
    test::PrivateXServer server(640, 480);
    if (!server.running()) GTEST_SKIP() << "Xvfb is not available";
    ASSERT_EQ(std::system("xrandr --setmonitor left 320/80x480/120+0+0 none && "
                          "xrandr --setmonitor right 320/80x240/60+320+0 none"), 0);
    auto monitors = x11Monitors();
    ASSERT_TRUE(std::holds_alternative<std::vector<Display>>(monitors));
    const auto& displays = std::get<std::vector<Display>>(monitors);
    ASSERT_EQ(displays.size(), 3u);
    auto expect = [](const Display& d, uint32_t id, int64_t w, int64_t h, int64_t x, int64_t y) {
        EXPECT_EQ(std::tie(d.displayID, d.width, d.height, d.x, d.y), std::tie(id, w, h, x, y));
    };
    expect(displays[0], 0, 320, 480, 0, 0);
    expect(displays[1], 1, 320, 240, 320, 0);
    expect(displays[2], 2, 640, 480, 0, 0);  // the server's own, for its one output
}

TEST(X11Monitors, AnUnreachableServerIsAnErrorNamingTheDisplay) {
    setenv("DISPLAY", ":479", 1);
    auto monitors = x11Monitors();
    ASSERT_TRUE(std::holds_alternative<Error>(monitors));
    EXPECT_EQ(std::get<Error>(monitors).description, "cannot open X display \":479\"");
    EXPECT_NE(std::get<Error>(monitors).code, 0);
}

}  // namespace
}  // namespace vx
