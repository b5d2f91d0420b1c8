// The writer's sample callback against a real pipe: what reaches the output,
// what is dropped, and how the process ends when the reader has gone.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "audio/audio_writer.h"

namespace vx {
namespace {

// Both ends of a pipe, closed when released.
class Pipe {
public:
    Pipe() {
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe");
        read_ = fds[0];
        write_ = fds[1];
    }
    ~Pipe() {
        closeRead();
        if (write_ >= 0) ::close(write_);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    int readEnd() const { return read_; }
    int writeEnd() const { return write_; }
    void closeRead() {
        if (read_ >= 0) ::close(read_);
        read_ = -1;
    }

    // Everything written so far, without waiting for more.
    std::vector<uint8_t> drain() {
        ::fcntl(read_, F_SETFL, ::fcntl(read_, F_GETFL) | O_NONBLOCK);
        std::vector<uint8_t> bytes;
        uint8_t chunk[4096];
        ssize_t got;
        while ((got = ::read(read_, chunk, sizeof chunk)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
        return bytes;
    }

private:
    int read_ = -1;
    int write_ = -1;
};

// The stream argument of the callback; the writer never looks at it.
class IdleStream : public Stream {
public:
    std::optional<Error> addStreamOutput(std::shared_ptr<StreamOutput>, OutputType,
                                         std::shared_ptr<SerialQueue>) override {
        return std::nullopt;
    }
    void startCapture(std::function<void(std::optional<Error>)>) override {}
};

// Mono float PCM, one frame per value.
SampleBuffer monoSample(std::vector<float> values, uint32_t bits = 32) {
    auto description = std::make_shared<FormatDescription>();
    description->audioStreamBasicDescription = AudioStreamBasicDescription{
        48000, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved,
        bits, 1};
    auto data = std::make_shared<std::vector<float>>(std::move(values));
    SampleBuffer sample;
    sample.formatDescription = std::move(description);
    sample.numSamples = int64_t(data->size());
    sample.audioBufferList = AudioBufferList{
        AudioBuffer{1, uint32_t(data->size() * sizeof(float)), data->data()}};
    sample.audioData = std::move(data);
    return sample;
}

TEST(AudioWriterTest, WritesAudioSamplesAndDropsTheRest) {
    Pipe pipe;
    AudioWriter writer(2, pipe.writeEnd());
    IdleStream stream;

    writer.didOutputSampleBuffer(stream, monoSample({0.5f}), OutputType::audio);
    writer.didOutputSampleBuffer(stream, monoSample({0.5f}), OutputType::screen);
    SampleBuffer invalid = monoSample({0.5f});
    invalid.valid = false;
    writer.didOutputSampleBuffer(stream, invalid, OutputType::audio);
    writer.didOutputSampleBuffer(stream, monoSample({0.5f}, 16), OutputType::audio);
    writer.didOutputSampleBuffer(stream, monoSample({-0.5f, 1.0f}), OutputType::audio);

    EXPECT_EQ(pipe.drain(), (std::vector<uint8_t>{0xFF, 0x3F, 0xFF, 0x3F,  // 16383 twice
                                                  0x01, 0xC0, 0x01, 0xC0,  // -16383 twice
                                                  0xFF, 0x7F, 0xFF, 0x7F}))
        << "the screen, invalid and 16-bit samples leave no trace between the others";
}

TEST(AudioWriterTest, ChannelsZeroWritesNothing) {
    Pipe pipe;
    AudioWriter writer(0, pipe.writeEnd());
    IdleStream stream;
    writer.didOutputSampleBuffer(stream, monoSample({0.5f, 0.25f}), OutputType::audio);
    EXPECT_TRUE(pipe.drain().empty());
}

// A buffer larger than the pipe holds goes out whole and in order while the
// reader takes it piece by piece, also when the reader has made the pipe
// non-blocking. Runs in a child process, so that a writer that wrongly ends the
// process shows as a missing confirmation line.
void writeAndReadBack(bool nonBlocking) {
    Pipe pipe;
    if (nonBlocking) ::fcntl(pipe.writeEnd(), F_SETFL, ::fcntl(pipe.writeEnd(), F_GETFL) | O_NONBLOCK);
    std::vector<float> values(200000);
    for (size_t i = 0; i < values.size(); ++i) values[i] = float(int(i % 32767)) / 32767.0f + 1e-6f;
    auto expected = AudioWriter::interleavedS16(monoSample(values), 1);
    if (!expected) return;

    std::thread writing([&] {
        AudioWriter writer(1, pipe.writeEnd());
        IdleStream stream;
        writer.didOutputSampleBuffer(stream, monoSample(values), OutputType::audio);
    });
    std::vector<uint8_t> received;
    uint8_t chunk[1000];
    while (received.size() < expected->size()) {
        ssize_t got = ::read(pipe.readEnd(), chunk, sizeof chunk);
        if (got <= 0) break;
        received.insert(received.end(), chunk, chunk + got);
    }
    writing.join();
    if (received == *expected) (void)!::write(2, "delivered whole\n", 16);
}

TEST(AudioWriterDeathTest, BufferLargerThanThePipeArrivesWhole) {
    for (bool nonBlocking : {false, true}) {
        SCOPED_TRACE(nonBlocking ? "non-blocking output" : "blocking output");
        EXPECT_EXIT(
            {
                writeAndReadBack(nonBlocking);
                ::_exit(0);
            },
            ::testing::ExitedWithCode(0), "^delivered whole\n$");
    }
}

TEST(AudioWriterDeathTest, ReaderGoneEndsTheProcessWithStatus0AndNoMessage) {
    EXPECT_EXIT(
        {
            ::signal(SIGPIPE, SIG_IGN);
            Pipe pipe;
            pipe.closeRead();
            AudioWriter writer(2, pipe.writeEnd());
            IdleStream stream;
            writer.didOutputSampleBuffer(stream, monoSample({0.5f}), OutputType::audio);
            (void)!::write(2, "still running\n", 14);
        },
        ::testing::ExitedWithCode(0), "^$");
}

TEST(AudioWriterDeathTest, ClosedOutputEndsTheProcessWithStatus0) {
    EXPECT_EXIT(
        {
            AudioWriter writer(2, 1000);  // no such descriptor
            IdleStream stream;
            writer.didOutputSampleBuffer(stream, monoSample({0.5f}), OutputType::audio);
            (void)!::write(2, "still running\n", 14);
        },
        ::testing::ExitedWithCode(0), "^$");
}

TEST(AudioWriterDeathTest, StoppedStreamEndsWithStatus3) {
    EXPECT_EXIT(
        {
            AudioWriter writer(2, 1);
            IdleStream stream;
            writer.didStopWithError(stream, Error{-3821, "the sound server went away"});
        },
        ::testing::ExitedWithCode(3), "^vx-capture: capture stopped: the sound server went away\n$");
}

}  // namespace
}  // namespace vx
