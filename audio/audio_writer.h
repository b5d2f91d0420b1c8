#pragma once
// The output object of audio mode: turns every 32-bit float PCM buffer the
// capture stream delivers into interleaved signed 16-bit little-endian PCM with a
// channel count fixed at construction, and writes it to standard output.
//
// Threads: audio samples arrive on the "vx-capture.audio" queue, one at a time,
// so the bytes on the output are never reordered or mixed; screen samples (the
// stream also delivers them here) arrive on "vx-capture.screen" and are dropped at
// once. The writer has no mutable state and takes no lock.
//
// Ending: when the output can no longer be written (its reader has gone) the
// process ends at once with status 0 and no message. A stopped stream ends it
// through CaptureOutput.
#include <cstdint>
#include <optional>
#include <vector>

#include "base/capture_output.h"
#include "platform/sample_buffer.h"

namespace vx {

class AudioWriter : public CaptureOutput {
public:
    // channels >= 0; 0 writes nothing at all. outputFd is borrowed (standard
    // output by default), never closed by the writer, and must stay open as long
    // as the writer receives samples.
    explicit AudioWriter(int64_t channels, int outputFd = 1);

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
    const int64_t channels_;
    const int outputFd_;
};

}  // namespace vx
