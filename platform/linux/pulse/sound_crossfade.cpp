#include "platform/linux/pulse/sound_crossfade.h"

#include <algorithm>

namespace vx {

SoundCrossfade::SoundCrossfade(size_t channels, size_t fadeFrames)
    : channels_(channels), step_(1.0f / float(std::max<size_t>(fadeFrames, 1))) {}

void SoundCrossfade::blend(const float* monitor, float* mix, size_t frames, bool toMix) {
    const float target = toMix ? 1.0f : 0.0f;
    for (size_t frame = 0; frame < frames; ++frame) {
        if (weight_ == target && weight_ == 1.0f) return;  // the rest is the mix as it is
        weight_ = toMix ? std::min(1.0f, weight_ + step_) : std::max(0.0f, weight_ - step_);
        for (size_t c = 0; c < channels_; ++c) {
            size_t i = frame * channels_ + c;
            mix[i] = mix[i] * weight_ + (monitor ? monitor[i] : 0.0f) * (1.0f - weight_);
        }
    }
}

}  // namespace vx
