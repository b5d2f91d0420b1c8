#pragma once
// Hands the capture over between two versions of the same audio, in step with each
// other: the plain monitor and the mix of the kept players (see SoundMixer). Either
// way the hand-over fades over fadeFrames, so that it neither clicks nor dips.
//
// Not thread-safe: one thread (the sound-server loop) makes every call.
#include <cstddef>

namespace vx {

class SoundCrossfade {
public:
    SoundCrossfade(size_t channels, size_t fadeFrames);

    // mix holds frames interleaved frames of the mix and receives the result; monitor
    // holds the same frames of the monitor (null: silence). toMix tells which one the
    // capture should be heading for.
    void blend(const float* monitor, float* mix, size_t frames, bool toMix);

    // Weight of the mix in the last frame: 1 all mix, 0 all monitor.
    float mixWeight() const { return weight_; }

private:
    size_t channels_;
    float step_;
    float weight_ = 0.0f;
};

}  // namespace vx
