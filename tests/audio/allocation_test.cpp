// The audio queue's work per buffer allocates once: the converted output. Handing
// it to the writing queue, and dropping old buffers behind a stalled reader, adds
// no allocation. Counted per thread by replacing the global operator new in this
// test program.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "audio/audio_writer.h"

namespace {
thread_local long allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
    ++allocations;
    if (void* memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace vx {
namespace {

class NoStream : public Stream {
public:
    std::optional<Error> addStreamOutput(std::shared_ptr<StreamOutput>, OutputType,
                                         std::shared_ptr<SerialQueue>) override {
        return std::nullopt;
    }
    void startCapture(std::function<void(std::optional<Error>)>) override {}
};

// 10 ms of 48 kHz stereo float, non-interleaved.
SampleBuffer tenMilliseconds() {
    auto description = std::make_shared<FormatDescription>();
    description->audioStreamBasicDescription = AudioStreamBasicDescription{
        48000, kAudioFormatLinearPCM, kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved,
        32, 2};
    auto data = std::make_shared<std::vector<float>>(960, 0.25f);
    SampleBuffer sample;
    sample.formatDescription = std::move(description);
    sample.numSamples = 480;
    sample.audioBufferList =
        AudioBufferList{AudioBuffer{1, 480 * sizeof(float), data->data()},
                        AudioBuffer{1, 480 * sizeof(float), data->data() + 480}};
    sample.audioData = std::move(data);
    return sample;
}

TEST(AudioWriterAllocationTest, OneAllocationPerBufferAlsoBehindAStalledReader) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const SampleBuffer sample = tenMilliseconds();
    std::thread reading;
    {
        // Nobody reads yet: the pipe fills, then the queue (10 buffers) drops the oldest.
        AudioWriter writer(2, fds[1], 4800);
        NoStream stream;
        std::vector<long> counts;
        counts.reserve(300);
        for (int i = 0; i < 300; ++i) {
            allocations = 0;
            writer.didOutputSampleBuffer(stream, sample, OutputType::audio);
            counts.push_back(allocations);
        }
        EXPECT_EQ(counts, std::vector<long>(300, 1));
        reading = std::thread([fd = fds[0]] {
            char bytes[4096];
            while (::read(fd, bytes, sizeof bytes) > 0) {}
        });
    }  // the writer's end waits for its writes
    ::close(fds[1]);
    reading.join();
    ::close(fds[0]);
}

}  // namespace
}  // namespace vx
