#pragma once
// Makes the sample buffers of captured audio: interleaved 32-bit float frames at
// one rate and channel count, one buffer in the list, and the sample owning the
// memory its buffer list points to.
//
// Any thread; a made sample is written by its maker until handed over, then immutable.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/sample_buffer.h"

namespace vx {

class SoundSamples {
public:
    SoundSamples(uint32_t rate, uint32_t channels);

    struct Made {
        std::shared_ptr<SampleBuffer> sample;
        float* frames = nullptr;  // frames x channels floats, zeroed, owned by sample
    };
    // A sample of frames frames (at least 1), all silent, for the caller to fill.
    Made make(size_t frames) const;

    uint32_t channels() const { return channels_; }

private:
    uint32_t channels_;
    std::shared_ptr<const FormatDescription> format_;
};

}  // namespace vx
