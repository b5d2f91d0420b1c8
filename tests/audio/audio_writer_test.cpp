// The writer's sample callback against a real pipe: what reaches the output,
// what is dropped, and how the process ends when the reader has gone.
#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
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
    void closeWrite() {
        if (write_ >= 0) ::close(write_);
        write_ = -1;
    }

    // Everything written so far, without waiting for more.
    std::vector<uint8_t> drain() {
        ::fcntl(read_, F_SETFL, ::fcntl(read_, F_GETFL) | O_NONBLOCK);
        std::vector<uint8_t> bytes;
        uint8_t chunk[4096];
        ssize_t got;
        while ((got = ::read(read_, chunk, sizeof chunk)) > 0)
            bytes.insert(bytes.end(), chunk, chunk + got);
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
    sample.audioBufferList =
        AudioBufferList{AudioBuffer{1, uint32_t(data->size() * sizeof(float)), data->data()}};
    sample.audioData = std::move(data);
    return sample;
}

TEST(AudioWriterTest, WritesAudioSamplesAndDropsTheRest) {
    Pipe pipe;
    {
        AudioWriter writer(2, pipe.writeEnd());
        IdleStream stream;

        writer.didOutputSampleBuffer(stream, monoSample({0.5f}), OutputType::audio);
        writer.didOutputSampleBuffer(stream, monoSample({0.5f}), OutputType::screen);
        SampleBuffer invalid = monoSample({0.5f});
        invalid.valid = false;
        writer.didOutputSampleBuffer(stream, invalid, OutputType::audio);
        writer.didOutputSampleBuffer(stream, monoSample({0.5f}, 16), OutputType::audio);
        writer.didOutputSampleBuffer(stream, monoSample({-0.5f, 1.0f}), OutputType::audio);
    }  // the writer's end waits for its writes

    EXPECT_EQ(pipe.drain(), (std::vector<uint8_t>{0xFF, 0x3F, 0xFF, 0x3F,  // 16383 twice
                                                  0x01, 0xC0, 0x01, 0xC0,  // -16383 twice
                                                  0xFF, 0x7F, 0xFF, 0x7F}))
        << "the screen, invalid and 16-bit samples leave no trace between the others";
}

TEST(AudioWriterTest, ChannelsZeroWritesNothing) {
    Pipe pipe;
    {
        AudioWriter writer(0, pipe.writeEnd());
        IdleStream stream;
        writer.didOutputSampleBuffer(stream, monoSample({0.5f, 0.25f}), OutputType::audio);
    }
    EXPECT_TRUE(pipe.drain().empty());
}

// A buffer larger than the pipe holds goes out whole and in order while the
// reader takes it piece by piece, also when the reader has made the pipe
// non-blocking. Runs in a child process, so that a writer that wrongly ends the
// process shows as a missing confirmation line.
void writeAndReadBack(bool nonBlocking) {
    Pipe pipe;
    if (nonBlocking)
        ::fcntl(pipe.writeEnd(), F_SETFL, ::fcntl(pipe.writeEnd(), F_GETFL) | O_NONBLOCK);
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

// Stereo float PCM, both channels one value: left value, right -value.
SampleBuffer stereoSample(float value, int64_t frames) {
    auto description = std::make_shared<FormatDescription>();
    description->audioStreamBasicDescription = AudioStreamBasicDescription{
        48000, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved,
        32, 2};
    auto data = std::make_shared<std::vector<float>>(size_t(frames), value);
    data->resize(size_t(frames) * 2, -value);
    SampleBuffer sample;
    sample.formatDescription = std::move(description);
    sample.numSamples = frames;
    sample.audioBufferList =
        AudioBufferList{AudioBuffer{1, uint32_t(frames * sizeof(float)), data->data()},
                        AudioBuffer{1, uint32_t(frames * sizeof(float)), data->data() + frames}};
    sample.audioData = std::move(data);
    return sample;
}

// A reader that stops reading: buffers keep coming, the callback never waits for
// the output, the oldest buffers are dropped whole, and once the reader reads
// again it gets whole frames of whole buffers, in order, the newest among them.
// With a non-blocking output (the reader's choice) the writes are partial, and
// each is followed by the rest of its buffer.
TEST(AudioWriterTest, StalledReaderGetsWholeFramesOfTheNewestBuffersAfterwards) {
    constexpr int64_t kFrames = 1100;  // 4400 bytes a buffer, more than one atomic pipe write
    constexpr int kBuffers = 200;
    constexpr int64_t kQueuedFrames = 3 * kFrames;
    constexpr int kPipeBytes = 16384;
    for (bool nonBlocking : {false, true}) {
        SCOPED_TRACE(nonBlocking ? "non-blocking output" : "blocking output");
        Pipe pipe;
        ASSERT_GE(::fcntl(pipe.writeEnd(), F_SETPIPE_SZ, kPipeBytes), kPipeBytes);
        const int pipeBytes = ::fcntl(pipe.writeEnd(), F_GETPIPE_SZ);
        if (nonBlocking)
            ::fcntl(pipe.writeEnd(), F_SETFL, ::fcntl(pipe.writeEnd(), F_GETFL) | O_NONBLOCK);

        std::vector<uint8_t> received;
        std::thread reading;
        bool delivered = false;
        {
            AudioWriter writer(2, pipe.writeEnd(), kQueuedFrames);
            IdleStream stream;
            // Buffer b holds the samples b - 1 and -(b - 1) (b / 32768 scaled by 32767, truncated).
            auto delivering = std::async(std::launch::async, [&] {
                for (int b = 1; b <= kBuffers; ++b)
                    writer.didOutputSampleBuffer(stream, stereoSample(float(b) / 32768.0f, kFrames),
                                                 OutputType::audio);
            });
            delivered = delivering.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
            reading = std::thread([&] {
                uint8_t chunk[3000];  // not a multiple of the frame size
                ssize_t got;
                while ((got = ::read(pipe.readEnd(), chunk, sizeof chunk)) > 0)
                    received.insert(received.end(), chunk, chunk + got);
            });
        }                   // the writer's end waits for its writes
        pipe.closeWrite();  // the reader sees the end
        reading.join();
        ASSERT_TRUE(delivered) << "the sample callback waited for the stalled reader";

        ASSERT_EQ(received.size() % 4, 0u) << "a torn frame";
        std::vector<std::pair<int, int64_t>> runs;  // (left sample, frames in a row)
        for (size_t at = 0; at < received.size(); at += 4) {
            int16_t left, right;
            std::memcpy(&left, &received[at], 2);
            std::memcpy(&right, &received[at + 2], 2);
            ASSERT_EQ(right, -left) << "frame " << at / 4 << " is torn";
            if (runs.empty() || runs.back().first != left) runs.emplace_back(left, 0);
            ++runs.back().second;
        }
        for (size_t i = 0; i < runs.size(); ++i) {
            EXPECT_EQ(runs[i].second, kFrames) << "buffer " << runs[i].first + 1 << " came out cut";
            if (i > 0) EXPECT_GT(runs[i].first, runs[i - 1].first) << "buffers out of order";
        }
        ASSERT_FALSE(runs.empty());
        EXPECT_EQ(runs.back().first, kBuffers - 1) << "the newest buffer is missing";
        // What waited: what the pipe held, the buffer in the write and the bound.
        const size_t most = size_t(pipeBytes) / (kFrames * 4) + 1 + 1 + kQueuedFrames / kFrames;
        EXPECT_LE(runs.size(), most) << "more buffers waited than the bound allows";
    }
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
            {
                AudioWriter writer(2, pipe.writeEnd());
                IdleStream stream;
                writer.didOutputSampleBuffer(stream, monoSample({0.5f}), OutputType::audio);
            }  // the writer's end waits for its write
            (void)!::write(2, "still running\n", 14);
        },
        ::testing::ExitedWithCode(0), "^$");
}

TEST(AudioWriterDeathTest, ClosedOutputEndsTheProcessWithStatus0) {
    EXPECT_EXIT(
        {
            {
                AudioWriter writer(2, 1000);  // no such descriptor
                IdleStream stream;
                writer.didOutputSampleBuffer(stream, monoSample({0.5f}), OutputType::audio);
            }
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
        ::testing::ExitedWithCode(3),
        "^vx-capture: capture stopped: the sound server went away\n$");
}

}  // namespace
}  // namespace vx
