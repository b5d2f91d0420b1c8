#pragma once
// The output object of audio mode: turns every 32-bit float PCM buffer the
// capture stream delivers into interleaved signed 16-bit little-endian PCM with a
// channel count fixed at construction, and writes it to standard output.
//
// Threads: audio samples arrive on the "vx-capture.audio" queue, one at a time;
// each is converted there and handed to a bounded queue (PcmQueue), which never
// makes the audio queue wait. The writes happen on a queue of the writer's own,
// "vx-capture.stdout", one buffer after the other in the order they came, so the
// bytes on the output are never reordered or mixed, and a partial write is always
// followed by the rest of the same buffer. Screen samples (the stream also
// delivers them here) arrive on "vx-capture.screen" and are dropped at once.
//
// A reader that stops reading blocks only the writes: while it does, at most
// queuedFrames frames wait (or the newest buffer alone, when it is larger),
// besides the buffer being written and what the pipe holds; beyond that the
// oldest buffers are dropped whole.
//
// Ending: when the output can no longer be written (its reader has gone) the
// process ends at once with status 0 and no message. A stopped stream ends it
// through CaptureOutput.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "audio/pcm_queue.h"
#include "base/capture_output.h"
#include "platform/sample_buffer.h"
#include "platform/serial_queue.h"

namespace vx {

class AudioWriter : public CaptureOutput {
public:
    // Half a second at 48000 Hz.
    static constexpr int64_t kDefaultQueuedFrames = 24000;
    // Most buffers that wait, however small they are.
    static constexpr size_t kMaxQueuedBuffers = 1024;

    // channels >= 0; 0 writes nothing at all. outputFd is borrowed (standard
    // output by default), never closed by the writer, and must stay open as long
    // as the writer lives. queuedFrames >= 0 bounds the audio that waits for the
    // output. Starts the writing queue: throws std::system_error when its thread
    // cannot be created.
    explicit AudioWriter(int64_t channels, int outputFd = 1,
                         int64_t queuedFrames = kDefaultQueuedFrames);

    // Waits until what is queued has been written (or the process has ended on a
    // failed write). The running program never destroys its writer.
    ~AudioWriter() override;

    AudioWriter(const AudioWriter&) = delete;
    AudioWriter& operator=(const AudioWriter&) = delete;

    void didOutputSampleBuffer(Stream& stream, const SampleBuffer& sample,
                               OutputType type) override;

    // The sample as interleaved s16le, channels samples per frame, channel 0
    // first, numSamples frames; or none when the sample is not 32-bit float linear
    // PCM, has no frames or no source channels, its buffer list cannot be had, or
    // the output size does not fit memory.
    //
    // Output channel i takes source channel min(i, S - 1) of the S source
    // channels; nothing is mixed. Whatever the buffer list does not hold (a null
    // data pointer, fewer buffers than source channels, fewer bytes than frames)
    // stays zero: nothing outside mDataByteSize is ever read.
    static std::optional<std::vector<uint8_t>> interleavedS16(const SampleBuffer& sample,
                                                              int64_t channels);

    // 1.0 and above, +inf and NaN give 32767; -1.0 and below give -32767; anything
    // between is scaled by 32767 in single precision and truncated toward zero.
    static int16_t s16FromFloat(float x);

private:
    // The writing queue's one work item: writes buffers until the queue closes.
    void writeQueued();

    const int64_t channels_;
    const int outputFd_;
    PcmQueue queue_;
    // Declared last: released first, after queue_ is closed, so that its thread
    // ends before the fields it uses.
    std::shared_ptr<SerialQueue> writing_;
};

}  // namespace vx
