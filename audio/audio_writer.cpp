#include "audio/audio_writer.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>

#include "base/diagnostics.h"

namespace vx {

namespace {

constexpr size_t kBytesPerSource = sizeof(float);

// Bytes of frames frames of channels channels, saturated to what a size holds.
size_t frameBytes(int64_t frames, int64_t channels) {
    int64_t bytes = 0;
    if (frames <= 0 || channels <= 0) return 0;
    if (__builtin_mul_overflow(frames, channels, &bytes) ||
        __builtin_mul_overflow(bytes, 2, &bytes))
        return SIZE_MAX;
    return size_t(bytes);
}

// Blocks until fd can take bytes again, for an output that its reader has made
// non-blocking. An error or hang-up shows in the next write.
void waitUntilWritable(int fd) {
    pollfd entry{fd, POLLOUT, 0};
    while (::poll(&entry, 1, -1) < 0 && errno == EINTR) {}
}

// Writes all of bytes to fd as one piece: a pipe may take them in parts, and the
// parts follow each other with nothing in between, since only the writing queue
// writes here. False when the output cannot be written any more.
bool writeAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote > 0) {
            done += size_t(wrote);
        } else if (wrote < 0 && errno == EINTR) {
            continue;
        } else if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            waitUntilWritable(fd);
        } else {
            return false;
        }
    }
    return true;
}

// Converts the frames of one source channel that the buffer really holds into
// output channel `channel`. first and stride locate the channel's samples in
// the buffer, in floats.
void convertChannel(const AudioBuffer& buffer, size_t first, size_t stride, int64_t frames,
                    int64_t channel, int64_t channels, uint8_t* output) {
    const size_t present = buffer.mDataByteSize / kBytesPerSource;
    if (!buffer.mData || present <= first) return;
    const int64_t available = int64_t((present - first + stride - 1) / stride);
    const int64_t count = std::min(frames, available);
    const auto* source = static_cast<const uint8_t*>(buffer.mData) + first * kBytesPerSource;
    const size_t sourceStep = stride * kBytesPerSource;
    const size_t targetStep = size_t(channels) * 2;
    uint8_t* target = output + size_t(channel) * 2;
    for (int64_t j = 0; j < count; ++j) {
        float x;
        std::memcpy(&x, source, sizeof x);
        const auto v = uint16_t(AudioWriter::s16FromFloat(x));
        target[0] = uint8_t(v & 0xFF);
        target[1] = uint8_t(v >> 8);
        source += sourceStep;
        target += targetStep;
    }
}

}  // namespace

AudioWriter::AudioWriter(int64_t channels, int outputFd, int64_t queuedFrames)
    : channels_(channels),
      outputFd_(outputFd),
      queue_(frameBytes(queuedFrames, channels), kMaxQueuedBuffers),
      writing_(SerialQueue::create("vx-capture.stdout")) {
    writing_->async([this] { writeQueued(); });
}

AudioWriter::~AudioWriter() {
    queue_.close();
    writing_.reset();
}

void AudioWriter::didOutputSampleBuffer(Stream&, const SampleBuffer& sample, OutputType type) {
    if (type != OutputType::audio) return;
    if (!sample.isValid()) return;
    auto bytes = interleavedS16(sample, channels_);
    if (!bytes || bytes->empty()) return;
    queue_.push(std::move(*bytes));
}

void AudioWriter::writeQueued() {
    while (std::optional<std::vector<uint8_t>> bytes = queue_.pop())
        if (!writeAll(outputFd_, *bytes)) endProcess(0);
}

int16_t AudioWriter::s16FromFloat(float x) {
    // Written so that NaN takes the second branch.
    const float v = x < 1.0f ? std::max(x, -1.0f) * 32767.0f : 32767.0f;
    return int16_t(v);
}

std::optional<std::vector<uint8_t>> AudioWriter::interleavedS16(const SampleBuffer& sample,
                                                                int64_t channels) {
    if (!sample.formatDescription || !sample.formatDescription->audioStreamBasicDescription)
        return std::nullopt;
    const AudioStreamBasicDescription& format =
        *sample.formatDescription->audioStreamBasicDescription;
    if (format.mFormatID != kAudioFormatLinearPCM) return std::nullopt;
    if (!(format.mFormatFlags & kAudioFormatFlagIsFloat)) return std::nullopt;
    if (format.mBitsPerChannel != 32) return std::nullopt;

    const int64_t frames = sample.numSamples;
    if (frames < 1) return std::nullopt;
    const uint32_t sources = format.mChannelsPerFrame;
    if (sources == 0) return std::nullopt;
    const bool nonInterleaved = format.mFormatFlags & kAudioFormatFlagIsNonInterleaved;
    if (channels < 0) return std::nullopt;

    int64_t size = 0;
    if (__builtin_mul_overflow(frames, channels, &size) || __builtin_mul_overflow(size, 2, &size))
        return std::nullopt;
    std::vector<uint8_t> output;
    try {
        output.resize(size_t(size));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    } catch (const std::length_error&) {
        return std::nullopt;
    }

    const auto convert = [&](const AudioBufferList& list) {
        for (int64_t i = 0; i < channels; ++i) {
            const size_t source = size_t(std::min<int64_t>(i, int64_t(sources) - 1));
            const size_t index = nonInterleaved ? source : 0;
            if (index >= list.size()) continue;
            const size_t first = nonInterleaved ? 0 : source;
            const size_t stride = nonInterleaved ? 1 : sources;
            convertChannel(list[index], first, stride, frames, i, channels, output.data());
        }
    };
    // Handed over by reference: the std::function then holds one pointer in place
    // and allocates nothing, so the output stays the buffer's one allocation.
    Status status = sample.withAudioBufferList(std::cref(convert));
    if (status != 0) return std::nullopt;
    return output;
}

}  // namespace vx
