#include "platform/linux/pulse/sound_mixer.h"

#include <algorithm>
#include <cmath>

namespace vx {

namespace {

// A lane is matched once its window holds sound above this mean square (-80 dBFS)...
constexpr double kAudibleMeanSquare = 1e-8;
// ...and taken to be where the monitor resembles it this much (normalised correlation).
constexpr double kLikeness = 0.5;
// Tries, each half a window apart, before a lane stays where it was put.
constexpr int kTries = 40;

}  // namespace

SoundMixer::SoundMixer(size_t channels, Frames frames)
    : channels_(channels),
      frames_(frames),
      historyFrames_(
          std::max<size_t>(1, frames.delay + frames.window + 2 * frames.search + frames.limit)) {
    history_.assign(historyFrames_ * channels_, 0.0f);
}

SoundMixer::Lane SoundMixer::open() {
    Lane lane = next_++;
    Ring& ring = lanes_[lane];
    ring.samples.resize((frames_.delay + frames_.limit + 1) * channels_);
    ring.placed = frames_.window == 0;
    return lane;
}

bool SoundMixer::placed(Lane lane) const {
    auto found = lanes_.find(lane);
    return found != lanes_.end() && found->second.placed;
}

void SoundMixer::push(Lane lane, const float* data, size_t frames) {
    auto found = lanes_.find(lane);
    if (found == lanes_.end() || found->second.draining || frames == 0 || channels_ == 0) return;
    Ring& ring = found->second;
    if (!ring.begun) {
        ring.begun = true;
        ring.start = monitorFrames_ - int64_t(frames);
    }
    append(ring, data, frames);
    int64_t end = ring.start + int64_t(ring.size / channels_);
    size_t held = ring.size / channels_, most = frames_.delay + frames_.limit;
    if (held > most) discard(ring, held - most);
    if (ring.placed) return;
    for (size_t i = 0; i < frames; ++i) ring.probe.push_back(data ? data[i * channels_] : 0.0f);
    // The newest frames may be ahead of the monitor: keep enough to match older ones.
    size_t kept = frames_.window + 2 * frames_.search;
    if (ring.probe.size() > kept)
        ring.probe.erase(ring.probe.begin(), ring.probe.end() - ptrdiff_t(kept));
    ring.probeEnd = end;
    ring.sinceTry += frames;
}

void SoundMixer::drain(Lane lane) {
    auto found = lanes_.find(lane);
    if (found == lanes_.end()) return;
    if (found->second.size == 0) lanes_.erase(found);
    else found->second.draining = true;
}

float SoundMixer::history(int64_t place, size_t channel) const {
    if (place < 0 || place >= monitorFrames_ || place < monitorFrames_ - int64_t(historyFrames_))
        return 0.0f;
    return history_[size_t(place % int64_t(historyFrames_)) * channels_ + channel];
}

void SoundMixer::clock(const float* monitor, size_t frames, float* delayed, float* mix) {
    const int64_t from = monitorFrames_ - int64_t(frames_.delay);
    for (size_t i = 0; i < frames; ++i) {
        int64_t place = from + int64_t(i);
        for (size_t c = 0; c < channels_; ++c) {
            float value = place < monitorFrames_ ? history(place, c)
                          : monitor ? monitor[size_t(place - monitorFrames_) * channels_ + c]
                                    : 0.0f;
            delayed[i * channels_ + c] = value;
        }
    }
    size_t kept = std::min(frames, historyFrames_);
    for (size_t i = frames - kept; i < frames; ++i) {
        size_t slot = size_t((monitorFrames_ + int64_t(i)) % int64_t(historyFrames_)) * channels_;
        for (size_t c = 0; c < channels_; ++c)
            history_[slot + c] = monitor ? monitor[i * channels_ + c] : 0.0f;
    }
    monitorFrames_ += int64_t(frames);

    for (auto lane = lanes_.begin(); lane != lanes_.end();) {
        Ring& ring = lane->second;
        if (!ring.placed) tryToPlace(ring);
        int64_t end = ring.start + int64_t(ring.size / channels_);
        if (ring.size > 0 && end <= from) {
            // Everything it holds came too late: it does not keep up within the delay.
            // Played from now on, later than the monitor, rather than never heard.
            ring.start = from;
        } else if (ring.start < from) {
            discard(ring, size_t(from - ring.start));  // a stall's late frames: dropped
        }
        int64_t offset = ring.start - from;
        if (offset < int64_t(frames)) {
            size_t count = std::min(frames - size_t(offset), ring.size / channels_);
            take(ring, mix ? mix + size_t(offset) * channels_ : nullptr, count);
            ring.start += int64_t(count);
        }
        if (ring.draining && ring.size == 0) lane = lanes_.erase(lane);
        else ++lane;
    }
}

// Matches the lane's newest window against the monitor around where the lane was put
// and moves it to the best match. Only while the monitor still holds every candidate.
void SoundMixer::tryToPlace(Ring& ring) {
    const size_t window = frames_.window, search = frames_.search;
    if (ring.sinceTry < window / 2) return;
    // The newest window of the lane whose candidates the monitor holds already.
    int64_t probeStart = ring.probeEnd - int64_t(ring.probe.size());
    int64_t windowEnd = std::min(ring.probeEnd, monitorFrames_ - int64_t(search));
    int64_t windowStart = windowEnd - int64_t(window);
    if (windowStart < probeStart) return;
    const float* lane = ring.probe.data() + (windowStart - probeStart);
    int64_t first = windowStart - int64_t(search);
    ring.sinceTry = 0;
    if (first < monitorFrames_ - int64_t(historyFrames_) || first < 0) {
        if (++ring.tries >= kTries) ring.placed = true;
        return;
    }
    double own = 0.0;
    for (size_t i = 0; i < window; ++i) own += double(lane[i]) * lane[i];
    if (own < kAudibleMeanSquare * double(window)) return;  // nothing to recognise it by yet

    scratch_.resize(window + 2 * search);
    for (size_t i = 0; i < scratch_.size(); ++i) scratch_[i] = history(first + int64_t(i), 0);
    double energy = 0.0;
    for (size_t i = 0; i < window; ++i) energy += double(scratch_[i]) * scratch_[i];
    double best = 0.0;
    int64_t bestShift = 0;
    for (size_t shift = 0; shift <= 2 * search; ++shift) {
        if (shift > 0) {
            double gone = scratch_[shift - 1], come = scratch_[shift + window - 1];
            energy += come * come - gone * gone;
        }
        double sum = 0.0;
        const float* at = scratch_.data() + shift;
        for (size_t i = 0; i < window; ++i) sum += double(lane[i]) * at[i];
        double likeness = energy > 0.0 ? sum / std::sqrt(own * std::max(energy, 1e-30)) : 0.0;
        if (likeness > best) {
            best = likeness;
            bestShift = int64_t(shift) - int64_t(search);
        }
    }
    if (best >= kLikeness) {
        ring.start += bestShift;
        ring.placed = true;
    } else if (++ring.tries >= kTries) {
        ring.placed = true;
    }
    if (ring.placed) std::vector<float>().swap(ring.probe);
}

void SoundMixer::append(Ring& ring, const float* data, size_t frames) {
    size_t samples = frames * channels_;
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
        if (data) std::copy_n(data + done, run, ring.samples.begin() + ptrdiff_t(tail));
        else std::fill_n(ring.samples.begin() + ptrdiff_t(tail), run, 0.0f);
        done += run;
        tail = (tail + run) % capacity;
    }
    ring.size += samples;
}

void SoundMixer::discard(Ring& ring, size_t frames) {
    size_t samples = std::min(frames * channels_, ring.size);
    if (ring.samples.empty()) return;
    ring.head = (ring.head + samples) % ring.samples.size();
    ring.size -= samples;
    ring.start += int64_t(samples / channels_);
}

void SoundMixer::take(Ring& ring, float* out, size_t frames) {
    size_t samples = std::min(frames * channels_, ring.size);
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
