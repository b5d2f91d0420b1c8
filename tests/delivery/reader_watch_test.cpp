// The reader-left watch on real pipes: the contract both the poll and the kqueue
// versions keep.
#include "delivery/reader_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/file_descriptor.h"
#include "tests/delivery/pipe_reader.h"

namespace vx {
namespace {

using Event = ReaderWatch::Event;

struct Pipe {
    FileDescriptor read, write;
    Pipe() {
        int ends[2];
        EXPECT_EQ(::pipe(ends), 0);
        read.reset(ends[0]);
        write.reset(ends[1]);
        ::fcntl(ends[0], F_SETFL, O_NONBLOCK);
    }
};

TEST(ReaderWatchTest, AReaderThatStaysIsNotReportedEvenWhileDataFlows) {
    test::ignoreBrokenPipe();
    Pipe data, wake;
    ReaderWatch watch(data.write.get(), wake.read.get());
    EXPECT_EQ(watch.wait(50), Event::timedOut);
    const char chunk[100] = {};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(::write(data.write.get(), chunk, sizeof chunk), ssize_t(sizeof chunk));
        char drained[100];
        ASSERT_EQ(::read(data.read.get(), drained, sizeof drained), ssize_t(sizeof drained));
        EXPECT_NE(watch.wait(20), Event::readerLeft) << i;
    }
}

TEST(ReaderWatchTest, TheReaderLeavingEndsAWaitAtOnce) {
    test::ignoreBrokenPipe();
    struct Case {
        const char* name;
        bool leaveDuringWait;
        bool unreadBytes;
    } cases[] = {
        {"left before the wait", false, false},
        {"left during the wait", true, false},
        {"left with bytes unread", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pipe data, wake;
        if (c.unreadBytes) ASSERT_EQ(::write(data.write.get(), "abc", 3), 3);
        ReaderWatch watch(data.write.get(), wake.read.get());
        std::thread leaver;
        if (c.leaveDuringWait) {
            leaver = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                data.read.reset();
            });
        } else {
            data.read.reset();
        }
        const auto begun = std::chrono::steady_clock::now();
        // A wait far longer than the test: only the reader's end can end it in time.
        EXPECT_EQ(watch.wait(10'000), Event::readerLeft);
        EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(5));
        if (leaver.joinable()) leaver.join();
    }
}

TEST(ReaderWatchTest, AWakeUpEndsTheWaitAndIsDrained) {
    Pipe data, wake;
    ReaderWatch watch(data.write.get(), wake.read.get());
    ASSERT_EQ(::write(wake.write.get(), "xx", 2), 2);
    EXPECT_EQ(watch.wait(10'000), Event::woken);
    EXPECT_EQ(watch.wait(20), Event::timedOut) << "the wake-up bytes were drained";
}

}  // namespace
}  // namespace vx
