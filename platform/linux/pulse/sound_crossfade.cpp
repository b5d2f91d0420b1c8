#include "platform/linux/pulse/sound_crossfade.h"

#include <algorithm>

namespace vx {

SoundCrossfade::SoundCrossfade(size_t channels, size_t fadeFrames)
    : channels_(channels), step_(1.0f / float(std::max<size_t>(fadeFrames, 1))) {}

void SoundCrossfade::blend(const float* monitor, float* mix, size_t frames, bool toMix) {
    if (toMix) {
        weight_ = 1.0f;
        return;
    }
    size_t samples = frames * channels_;
    size_t frame = 0;
    for (; frame < frames && weight_ > 0.0f; ++frame) {
        weight_ = std::max(0.0f, weight_ - step_);
        for (size_t c = 0; c < channels_; ++c) {
            size_t i = frame * channels_ + c;
            mix[i] = mix[i] * weight_ + (monitor ? monitor[i] : 0.0f) * (1.0f - weight_);
        }
    }
    size_t done = frame * channels_;
    if (monitor) std::copy(monitor + done, monitor + samples, mix + done);
    else std::fill(mix + done, mix + samples, 0.0f);
}

}  // namespace vx
