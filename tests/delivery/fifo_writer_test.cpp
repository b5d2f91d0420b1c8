// The FIFO writer on real named pipes: readers attach, leave and come back.
#include "delivery/fifo_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <system_error>
#include <thread>
#include <vector>

#include "tests/delivery/call_counter.h"
#include "tests/delivery/pipe_reader.h"
#include "tests/delivery/temporary_directory.h"

namespace vx {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

class FifoWriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::ignoreBrokenPipe();
        path = directory.file("video.fifo");
    }
    std::shared_ptr<FifoWriter> makeWriter(bool makeFifo = true) {
        if (makeFifo) {
            EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        }
        auto writer = FifoWriter::create(path);
        writer->onReaderConnected = connections.callback();
        return writer;
    }

    test::TemporaryDirectory directory;
    std::string path;
    test::CallCounter connections;
};

TEST_F(FifoWriterTest, DropsChunksUntilAReaderAttaches) {
    auto writer = makeWriter();
    writer->write(bytes("before start"));
    writer->start();
    writer->write(bytes("no reader yet"));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(connections.count(), 0);

    test::PipeReader reader(path);
    ASSERT_TRUE(connections.waitFor(1));
    writer->write(bytes("hello"));
    EXPECT_EQ(reader.read(5), bytes("hello"));
    EXPECT_TRUE(reader.readAvailable().empty());
}

TEST_F(FifoWriterTest, AnAttachmentFiresTheCallbackOnceHoweverOftenStartIsCalled) {
    auto writer = makeWriter();
    writer->start();
    writer->start();
    test::PipeReader reader(path);
    ASSERT_TRUE(connections.waitFor(1));
    writer->start();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(connections.count(), 1);
}

TEST_F(FifoWriterTest, AReaderThatLeavesIsNoticedAtTheNextWriteAndTheNextOneIsAttachedAgain) {
    auto writer = makeWriter();
    writer->start();
    auto first = std::make_unique<test::PipeReader>(path);
    ASSERT_TRUE(connections.waitFor(1));
    writer->write(bytes("one"));
    EXPECT_EQ(first->read(3), bytes("one"));

    first.reset();
    writer->write(bytes("lost"));     // fails: the writer lets go of the pipe
    writer->write(bytes("dropped"));  // nobody attached
    EXPECT_EQ(connections.count(), 1);

    test::PipeReader second(path);
    ASSERT_TRUE(connections.waitFor(2));
    writer->write(bytes("two"));
    EXPECT_EQ(second.read(3), bytes("two"));
    EXPECT_TRUE(second.readAvailable().empty());
    EXPECT_EQ(connections.count(), 2);
}

TEST_F(FifoWriterTest, APathThatAppearsLaterIsOpenedOnALaterAttempt) {
    auto writer = makeWriter(false);
    writer->start();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(connections.count(), 0);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    test::PipeReader reader(path);
    ASSERT_TRUE(connections.waitFor(1));
    writer->write(bytes("late"));
    EXPECT_EQ(reader.read(4), bytes("late"));
}

TEST_F(FifoWriterTest, AnEmptyChunkMakesNoSystemCall) {
    // A write of 0 bytes returns 0, which would count as the reader gone: the writer
    // would let go of the pipe, the next chunk would be lost and the reader would be
    // attached a second time.
    auto writer = makeWriter();
    writer->start();
    test::PipeReader reader(path);
    ASSERT_TRUE(connections.waitFor(1));
    writer->write({});
    writer->write(bytes("ab"));
    EXPECT_EQ(reader.read(2, 2s), bytes("ab"));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(connections.count(), 1);
}

TEST_F(FifoWriterTest, AReaderThatComesBackBetweenTwoWritesGetsAFreshPipe) {
    auto writer = makeWriter();
    writer->start();
    auto first = std::make_unique<test::PipeReader>(path);
    ASSERT_TRUE(connections.waitFor(1));
    writer->write(bytes("0123456789"));
    EXPECT_EQ(first->read(4), bytes("0123"));
    first.reset();                      // leaves six bytes unread
    std::this_thread::sleep_for(50ms);  // no write in between, as on a still screen

    test::PipeReader second(path);
    ASSERT_TRUE(connections.waitFor(2)) << "the newcomer must count as a new attachment";
    writer->write(bytes("fresh"));
    EXPECT_EQ(second.read(5), bytes("fresh")) << "the previous reader's leftovers came first";
}

TEST_F(FifoWriterTest, AReaderLeavingInTheMiddleOfALargeChunkLeavesNothingForTheNext) {
    auto writer = makeWriter();
    writer->start();
    auto first = std::make_unique<test::PipeReader>(path);
    ASSERT_TRUE(connections.waitFor(1));
    Bytes chunk(1024 * 1024, 0xAA);  // far more than the pipe holds
    std::thread writing([&] { writer->write(chunk); });
    EXPECT_EQ(first->read(1000).size(), 1000u);
    first.reset();  // the write fails part-way; the pipe still holds unread bytes
    writing.join();

    test::PipeReader second(path);
    ASSERT_TRUE(connections.waitFor(2));
    writer->write(bytes("fresh"));
    EXPECT_EQ(second.read(5), bytes("fresh")) << "the rest of the old chunk came first";
}

// What the path can name besides a named pipe; each is made at path.
struct NotAPipe {
    const char* name;
    std::function<void(const std::string& path, const std::string& folder)> make;
    bool isFile;  // its content can be checked
};

std::vector<NotAPipe> notPipes() {
    auto writeFile = [](const std::string& at) { std::ofstream(at) << "0123456789"; };
    return {
        {"regular file", [=](const std::string& path, const std::string&) { writeFile(path); },
         true},
        {"directory",
         [](const std::string& path, const std::string&) { ::mkdir(path.c_str(), 0700); }, false},
        {"symlink to a file",
         [=](const std::string& path, const std::string& folder) {
             writeFile(folder + "/target");
             ::symlink((folder + "/target").c_str(), path.c_str());
         },
         true},
        {"symlink to a device",
         [](const std::string& path, const std::string&) { ::symlink("/dev/null", path.c_str()); },
         false},
    };
}

std::string contentOf(const std::string& path) {
    std::stringstream content;
    content << std::ifstream(path).rdbuf();
    return content.str();
}

TEST(FifoWriterPath, OnlyAMissingPathOrANamedPipeIsUsable) {
    for (const NotAPipe& kind : notPipes()) {
        SCOPED_TRACE(kind.name);
        test::TemporaryDirectory directory;
        const std::string path = directory.file("out");
        EXPECT_TRUE(FifoWriter::isUsablePath(path)) << "missing: it may be made later";
        kind.make(path, directory.file(""));
        EXPECT_FALSE(FifoWriter::isUsablePath(path));
    }
    test::TemporaryDirectory directory;
    const std::string fifo = directory.file("video.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_TRUE(FifoWriter::isUsablePath(fifo));
    const std::string link = directory.file("link");
    ASSERT_EQ(::symlink(fifo.c_str(), link.c_str()), 0);
    EXPECT_TRUE(FifoWriter::isUsablePath(link)) << "a symlink to a named pipe";
}

TEST(FifoWriterPath, APathThatCanNeverBeWrittenHasAProblem) {
    test::TemporaryDirectory directory;
    const std::string file = directory.file("notes.txt");
    std::ofstream(file) << "text\n";
    const std::string fifo = directory.file("video.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string readOnlyFifo = directory.file("read-only.fifo");
    ASSERT_EQ(::mkfifo(readOnlyFifo.c_str(), 0400), 0);
    const bool privileged = ::geteuid() == 0;  // root may write any file
    struct Case {
        const char* name;
        std::string path;
        std::optional<std::string> problem;
    } cases[] = {
        {"empty", "", "is empty"},
        {"under a file", file + "/video.fifo", "cannot be reached: Not a directory"},
        {"too long", directory.file(std::string(5000, 'x')),
         "cannot be reached: File name too long"},
        {"not a pipe", file, "is not a named pipe"},
        {"pipe not ours to write", readOnlyFifo,
         privileged ? std::nullopt
                    : std::optional<std::string>("is not writable: Permission denied")},
        {"missing", directory.file("later.fifo"), std::nullopt},
        {"missing folders too", directory.file("a/b/later.fifo"), std::nullopt},
        {"named pipe", fifo, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FifoWriter::problemWithPath(c.path), c.problem) << c.name;
    }
}

TEST(FifoWriterPath, NothingButANamedPipeIsEverOpenedOrWrittenAndTheWriterKeepsTrying) {
    test::ignoreBrokenPipe();
    for (const NotAPipe& kind : notPipes()) {
        for (bool later : {false, true}) {
            SCOPED_TRACE(std::string(kind.name) +
                         (later ? ", made after the start" : ", there at the start"));
            test::TemporaryDirectory directory;
            const std::string path = directory.file("video.fifo");
            test::CallCounter connections;
            auto writer = FifoWriter::create(path);
            writer->onReaderConnected = connections.callback();
            if (!later) kind.make(path, directory.file(""));
            writer->start();
            if (later) {
                std::this_thread::sleep_for(250ms);  // retrying a missing path meanwhile
                kind.make(path, directory.file(""));
            }
            std::this_thread::sleep_for(500ms);
            writer->write(bytes("ab"));
            EXPECT_EQ(connections.count(), 0);
            if (kind.isFile) {
                EXPECT_EQ(contentOf(path), "0123456789");
            }

            // Put right, the path is attached by a later attempt.
            std::filesystem::remove(path);
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
            test::PipeReader reader(path);
            ASSERT_TRUE(connections.waitFor(1));
            writer->write(bytes("late"));
            EXPECT_EQ(reader.read(4), bytes("late"));
        }
    }
}

TEST_F(FifoWriterTest, APipeReplacedByAFileAfterItsReaderLeftIsNeverWritten) {
    auto writer = makeWriter();
    writer->start();
    auto first = std::make_unique<test::PipeReader>(path);
    ASSERT_TRUE(connections.waitFor(1));
    first.reset();
    writer->write(bytes("lost"));
    std::filesystem::remove(path);
    { std::ofstream(path) << "0123456789"; }
    std::this_thread::sleep_for(500ms);
    writer->write(bytes("ab"));
    EXPECT_EQ(contentOf(path), "0123456789");
    EXPECT_EQ(connections.count(), 1);
}

TEST_F(FifoWriterTest, AReaderLeavingIsToldOnceBeforeTheNextAttaches) {
    auto writer = makeWriter();
    std::mutex mutex;
    std::vector<std::string> events;
    writer->onReaderConnected = [&] {
        std::lock_guard<std::mutex> guard(mutex);
        events.push_back("connected");
        connections.callback()();
    };
    writer->onReaderDisconnected = [&] {
        std::lock_guard<std::mutex> guard(mutex);
        events.push_back("disconnected");
    };
    writer->start();
    for (int round = 0; round < 3; ++round) {
        test::PipeReader reader(path);
        ASSERT_TRUE(connections.waitFor(round + 1));
        reader.close();
        if (round == 1) writer->write(bytes("noticed by a write"));
        // Without a write, the watcher notices.
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(mutex);
                if (events.size() == size_t(2 * (round + 1))) break;
            }
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the leaving was not told";
            std::this_thread::sleep_for(10ms);
        }
    }
    std::lock_guard<std::mutex> guard(mutex);
    EXPECT_EQ(events, (std::vector<std::string>{"connected", "disconnected", "connected",
                                                "disconnected", "connected", "disconnected"}));
}

TEST_F(FifoWriterTest, EachNewReaderBeginsWithAChunkThatMayStartTheStream) {
    auto writer = makeWriter();
    writer->isStreamStart = [](std::span<const uint8_t> chunk) {
        return !chunk.empty() && chunk[0] == 'K';
    };
    writer->start();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        test::PipeReader reader(path);
        ASSERT_TRUE(connections.waitFor(round + 1));
        writer->write(bytes("p1"));
        writer->write(bytes("p2"));
        writer->write(bytes("K3"));
        writer->write(bytes("p4"));
        writer->write(bytes("K5"));
        EXPECT_EQ(reader.read(6), bytes("K3p4K5"));
        reader.close();
        writer->write(bytes("gone"));  // notices the reader has left
    }
}

TEST_F(FifoWriterTest, AThreadThatCannotBeHadIsTriedAgainLater) {
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    auto refusals = std::make_shared<std::atomic<int>>(3);
    auto writer = FifoWriter::create(path, [refusals](std::function<void()> work) {
        if (refusals->fetch_sub(1) > 0)
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        std::thread(std::move(work)).detach();
    });
    writer->onReaderConnected = connections.callback();
    writer->start();
    test::PipeReader reader(path);
    ASSERT_TRUE(connections.waitFor(1, 10s)) << "the writer stayed without a thread";
    EXPECT_LE(refusals->load(), 0);
    writer->write(bytes("ok"));
    EXPECT_EQ(reader.read(2), bytes("ok"));
}

TEST_F(FifoWriterTest, AChunkLargerThanThePipeArrivesWhole) {
    auto writer = makeWriter();
    writer->start();
    test::PipeReader reader(path);
    ASSERT_TRUE(connections.waitFor(1));
    Bytes chunk(3 * 1024 * 1024 + 17);
    std::mt19937 random(7);
    for (auto& byte : chunk) byte = uint8_t(random());
    Bytes received;
    std::thread drain([&] { received = reader.read(chunk.size()); });
    writer->write(chunk);
    drain.join();
    EXPECT_TRUE(received == chunk) << "received " << received.size() << " bytes";
}

}  // namespace
}  // namespace vx
