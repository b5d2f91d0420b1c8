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
// A placed lane moves only where the monitor holds this much more of it than where it is...
constexpr double kBetter = 0.1;
// ...and of the places that hold about as much of it as the best (peaks within this
// of the best), to the nearest.
constexpr double kAsGood = 0.02;
// How fast what a placed lane's place holds of it is followed while it stays there.
constexpr double kSettle = 0.2;
// A lane gliding to its new place is played this much faster or slower: a period of
// PipeWire's graph (256 frames) in 90 ms at 48 kHz, a semitone higher or lower
// meanwhile. Slower glides hold a tone off its pitch for longer.
constexpr double kGlide = 0.06;

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
    if (ring.placed && frames_.recheck == 0) return;
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
        else if (frames_.recheck > 0 && ring.sinceTry >= frames_.recheck)
            recheck(ring, from + int64_t(frames));
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

// Matches the lane's newest window against the monitor within span (at most search)
// either side of where the lane is now. Only while the monitor still holds every
// candidate, and the window is audible; false otherwise.
bool SoundMixer::match(Ring& ring, size_t span, Match& found) {
    const size_t window = frames_.window, search = frames_.search;
    // The newest window of the lane whose candidates the monitor holds already.
    int64_t probeStart = ring.probeEnd - int64_t(ring.probe.size());
    int64_t windowEnd = std::min(ring.probeEnd, monitorFrames_ - int64_t(search));
    int64_t windowStart = windowEnd - int64_t(window);
    if (windowStart < probeStart) return false;
    const float* lane = ring.probe.data() + (windowStart - probeStart);
    int64_t first = windowStart - int64_t(span);
    ring.sinceTry = 0;
    if (windowStart - int64_t(search) < monitorFrames_ - int64_t(historyFrames_) ||
        windowStart < int64_t(search)) {
        if (!ring.placed && ++ring.tries >= kTries) ring.placed = true;
        return false;
    }
    double own = 0.0;
    for (size_t i = 0; i < window; ++i) own += double(lane[i]) * lane[i];
    if (own < kAudibleMeanSquare * double(window)) return false;  // nothing to recognise it by

    scratch_.resize(window + 2 * span);
    for (size_t i = 0; i < scratch_.size(); ++i) scratch_[i] = history(first + int64_t(i), 0);
    found.own = own;
    found.sums.resize(2 * span + 1);
    found.energies.resize(2 * span + 1);
    double energy = 0.0;
    for (size_t i = 0; i < window; ++i) energy += double(scratch_[i]) * scratch_[i];
    for (size_t shift = 0; shift <= 2 * span; ++shift) {
        if (shift > 0) {
            double gone = scratch_[shift - 1], come = scratch_[shift + window - 1];
            energy += come * come - gone * gone;
        }
        double sum = 0.0;
        const float* at = scratch_.data() + shift;
        for (size_t i = 0; i < window; ++i) sum += double(lane[i]) * at[i];
        found.sums[shift] = sum;
        found.energies[shift] = std::max(energy, 0.0);
    }
    // The window's first half where the lane is now, for a change within the window.
    const float* here = scratch_.data() + span;
    found.firstOwn = found.firstSum = 0.0;
    for (size_t i = 0; i < window / 2; ++i) {
        found.firstOwn += double(lane[i]) * lane[i];
        found.firstSum += double(lane[i]) * here[i];
    }
    return true;
}

double SoundMixer::Match::likeness(size_t shift) const {
    return energies[shift] > 0.0 ? sums[shift] / std::sqrt(own * std::max(energies[shift], 1e-30))
                                 : 0.0;
}

void SoundMixer::tryToPlace(Ring& ring) {
    if (ring.sinceTry < frames_.window / 2) return;
    Match& found = match_;
    if (!match(ring, frames_.search, found)) return;
    double best = 0.0;
    size_t bestShift = frames_.search;
    for (size_t shift = 0; shift < found.sums.size(); ++shift) {
        if (found.likeness(shift) > best) {
            best = found.likeness(shift);
            bestShift = shift;
        }
    }
    if (best >= kLikeness) {
        int64_t offset = int64_t(bestShift) - int64_t(frames_.search);
        ring.start += offset;
        ring.probeEnd += offset;
        ring.placed = true;
        ring.share = found.sums[bestShift] / found.own;
    } else if (++ring.tries >= kTries) {
        ring.placed = true;
    }
    if (ring.placed && frames_.recheck == 0) std::vector<float>().swap(ring.probe);
}

// Places are compared by how much of the lane they hold (their correlation with the
// lane, relative to the lane's own energy), which other players' sound in the monitor
// does not sway as it sways the likeness; the new place must still be like the lane.
// Only when the lane's own place holds clearly less of it than it used to is it
// searched for (the search costs as much as a window's worth of frames per shift).
void SoundMixer::recheck(Ring& ring, int64_t next) {
    if (ring.glide != 0.0) return;  // on its way: looked at again once there
    Match& found = match_;
    if (!match(ring, 0, found)) return;
    if (found.energies[0] < kAudibleMeanSquare * double(frames_.window)) return;  // monitor silent
    const double here = found.sums[0] / found.own;
    if (ring.share > 0.0 && here >= ring.share * (1.0 - kBetter)) {
        ring.share = ring.share * (1.0 - kSettle) + here * kSettle;
        return;
    }
    // One half of the window still holds the lane as before and the other does not:
    // the monitor lost a stretch within the window (a hole, or the lane's sound
    // coming later from there on). Places beside it hold the lane whole only because
    // they leave the hole out, so the lane is judged again once the window is past.
    const double secondOwn = found.own - found.firstOwn;
    const double halfAudible = kAudibleMeanSquare * double(frames_.window / 2);
    if (ring.share > 0.0 && found.firstOwn >= halfAudible && secondOwn >= halfAudible) {
        const double first = found.firstSum / found.firstOwn;
        const double second = (found.sums[0] - found.firstSum) / secondOwn;
        const double holds = ring.share * (1.0 - kBetter);
        if ((first >= holds) != (second >= holds)) return;
    }
    const size_t search = frames_.search;
    if (!match(ring, search, found)) return;
    const std::vector<double>& sums = found.sums;
    double best = 0.0;
    for (double sum : sums) best = std::max(best, sum);
    ring.share = sums[search] / found.own;
    if (best <= 0.0 || sums[search] >= best * (1.0 - kBetter)) return;
    // Earlier only as far as what it holds allows: it keeps half the delay in hand.
    const int64_t end = ring.start + int64_t(ring.size / channels_);
    const int64_t earliest = std::min<int64_t>(0, next + int64_t(frames_.delay / 2) - end);
    size_t chosen = search;
    for (size_t shift = 0; shift < sums.size(); ++shift) {
        bool peak = (shift == 0 || sums[shift] >= sums[shift - 1]) &&
                    (shift + 1 == sums.size() || sums[shift] >= sums[shift + 1]);
        bool asGood =
            peak && sums[shift] >= best * (1.0 - kAsGood) && found.likeness(shift) >= kLikeness;
        bool allowed = int64_t(shift) - int64_t(search) >= earliest;
        auto distance = [search](size_t s) { return s > search ? s - search : search - s; };
        if (asGood && allowed && (chosen == search || distance(shift) < distance(chosen)))
            chosen = shift;
    }
    if (chosen == search) return;
    const int64_t shift = int64_t(chosen) - int64_t(search);
    ring.share = sums[chosen] / found.own;
    move(ring, shift);
}

// Where the mix is heard, the lane glides to its new place, played a little faster or
// slower (kGlide) until it is there; where it is not, it is there at once.
void SoundMixer::move(Ring& ring, int64_t shift) {
    if (heard_) {
        // From where it is played now, a fraction of a frame before its place.
        ring.glide = double(shift) + ring.phase;
        return;
    }
    ring.start += shift;
    ring.probeEnd += shift;
    ring.glide = 0.0;
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
    if (ring.glide != 0.0 || ring.phase != 0.0) {
        glideOut(ring, out, frames);
        return;
    }
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

// Gives out frames places from the lane read at a speed a little off 1 while it glides,
// between two of its frames (phase after the first) when the glide left it there.
void SoundMixer::glideOut(Ring& ring, float* out, size_t frames) {
    const size_t capacity = ring.samples.size();
    size_t given = 0;
    for (; given < frames && ring.size > 0; ++given) {
        size_t next = ring.size > channels_ ? (ring.head + channels_) % capacity : ring.head;
        float weight = float(ring.phase);
        if (out) {
            for (size_t c = 0; c < channels_; ++c)
                out[given * channels_ + c] +=
                    ring.samples[ring.head + c] * (1.0f - weight) + ring.samples[next + c] * weight;
        }
        double step = 1.0;
        if (ring.glide > 0.0) step = 1.0 - std::min(kGlide, ring.glide);
        else if (ring.glide < 0.0) step = 1.0 + std::min(kGlide, -ring.glide);
        ring.glide -= 1.0 - step;  // the lane lies that much later (earlier) now
        ring.phase += step;
        size_t whole = std::min(size_t(ring.phase), ring.size / channels_);
        ring.phase -= double(whole);
        ring.head = (ring.head + whole * channels_) % capacity;
        ring.size -= whole * channels_;
        if (std::abs(ring.glide) < 1e-9) {
            // There: on a frame again (but for the rounding of the steps).
            ring.glide = 0.0;
            if (ring.phase > 0.5 && ring.size > channels_) {
                ring.head = (ring.head + channels_) % capacity;
                ring.size -= channels_;
            }
            ring.phase = 0.0;
        }
    }
}

}  // namespace vx
