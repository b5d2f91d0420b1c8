#include "platform/linux/pulse/sound_mixer.h"

#include <algorithm>

namespace vx {

SoundMixer::SoundMixer(size_t channels, size_t cushionFrames, size_t limitFrames)
    : channels_(channels),
      cushionFrames_(cushionFrames),
      limitFrames_(std::max(limitFrames, cushionFrames)) {}

SoundMixer::Lane SoundMixer::open() {
    Lane lane = next_++;
    lanes_[lane].samples.resize((limitFrames_ + cushionFrames_) * channels_);
    return lane;
}

size_t SoundMixer::buffered(Lane lane) const {
    auto found = lanes_.find(lane);
    return found == lanes_.end() || channels_ == 0 ? 0 : found->second.size / channels_;
}

void SoundMixer::push(Lane lane, const float* data, size_t frames) {
    auto found = lanes_.find(lane);
    if (found == lanes_.end() || found->second.draining) return;
    Ring& ring = found->second;
    append(ring, data, frames * channels_);
    if (ring.size > limitFrames_ * channels_)
        discard(ring, ring.size - cushionFrames_ * channels_);
}

void SoundMixer::drain(Lane lane) {
    auto found = lanes_.find(lane);
    if (found == lanes_.end()) return;
    if (found->second.size == 0) {
        lanes_.erase(found);
        return;
    }
    found->second.draining = true;
    found->second.primed = true;
}

void SoundMixer::mix(float* out, size_t frames) {
    size_t samples = frames * channels_;
    for (auto lane = lanes_.begin(); lane != lanes_.end();) {
        Ring& ring = lane->second;
        if (!ring.primed && ring.size >= cushionFrames_ * channels_) ring.primed = true;
        if (ring.primed) {
            size_t taken = std::min(samples, ring.size);
            take(ring, out, taken);
            if (taken < samples) ring.primed = false;  // ran dry: build the cushion again
        }
        if (ring.draining && ring.size == 0) lane = lanes_.erase(lane);
        else ++lane;
    }
}

void SoundMixer::append(Ring& ring, const float* data, size_t samples) {
    if (samples == 0) return;
    if (ring.size + samples > ring.samples.size()) {
        // A chunk larger than the ring: keep the ring's order while growing it.
        std::vector<float> grown(ring.size + samples);
        for (size_t i = 0; i < ring.size; ++i)
            grown[i] = ring.samples[(ring.head + i) % ring.samples.size()];
        ring.samples = std::move(grown);
        ring.head = 0;
    }
    size_t capacity = ring.samples.size();
    size_t tail = (ring.head + ring.size) % capacity;
    for (size_t done = 0; done < samples;) {
        size_t run = std::min(samples - done, capacity - tail);
        if (data) std::copy_n(data + done, run, ring.samples.begin() + tail);
        else std::fill_n(ring.samples.begin() + tail, run, 0.0f);
        done += run;
        tail = (tail + run) % capacity;
    }
    ring.size += samples;
}

void SoundMixer::discard(Ring& ring, size_t samples) {
    samples = std::min(samples, ring.size);
    if (ring.samples.empty()) return;
    ring.head = (ring.head + samples) % ring.samples.size();
    ring.size -= samples;
}

void SoundMixer::take(Ring& ring, float* out, size_t samples) {
    samples = std::min(samples, ring.size);
    size_t capacity = ring.samples.size();
    for (size_t done = 0; done < samples;) {
        size_t run = std::min(samples - done, capacity - ring.head);
        if (out) {
            const float* from = ring.samples.data() + ring.head;
            for (size_t i = 0; i < run; ++i) out[done + i] += from[i];
        }
        done += run;
        ring.head = (ring.head + run) % capacity;
        ring.size -= run;
    }
}

}  // namespace vx
