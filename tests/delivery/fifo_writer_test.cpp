// The FIFO writer on real named pipes: readers attach, leave and come back.
#include "delivery/fifo_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <random>
#include <sstream>
#include <thread>

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
    // On a regular file (which never reports its reader gone) a write of 0 bytes
    // would return 0 and count as a failure: the writer would let go and open again.
    { std::ofstream(path) << "0123456789"; }
    auto writer = makeWriter(false);
    writer->start();
    ASSERT_TRUE(connections.waitFor(1));
    writer->write({});
    writer->write(bytes("ab"));
    std::stringstream content;
    content << std::ifstream(path).rdbuf();
    EXPECT_EQ(content.str(), "ab23456789");
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
    first.reset();  // leaves six bytes unread
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

TEST_F(FifoWriterTest, ARegularFileIsWrittenFromItsFirstByteWithoutTruncation) {
    { std::ofstream(path) << "0123456789"; }
    auto writer = makeWriter(false);
    writer->start();
    ASSERT_TRUE(connections.waitFor(1));
    writer->write(bytes("ab"));
    std::stringstream content;
    content << std::ifstream(path).rdbuf();
    EXPECT_EQ(content.str(), "ab23456789");
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
