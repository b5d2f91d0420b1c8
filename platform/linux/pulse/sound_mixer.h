#pragma once
// Mixes players that arrive on streams of their own into the chunks of one clock
// stream. Each player has a lane: its audio waits there until a cushion of
// cushionFrames has built up, then every clock chunk takes the same number of
// frames from each primed lane and adds them up. A lane that runs dry is primed
// again; a lane that grows past limitFrames (its clock stalled) drops its oldest
// audio down to the cushion. A drained lane plays out what it holds and goes.
//
// Not thread-safe: one thread (the sound-server loop) makes every call.
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace vx {

class SoundMixer {
public:
    using Lane = uint64_t;

    SoundMixer(size_t channels, size_t cushionFrames, size_t limitFrames);

    // Opens a lane, which waits for audio until drained.
    Lane open();
    // Appends interleaved frames to lane; null data appends silence. Unknown lanes are ignored.
    void push(Lane lane, const float* data, size_t frames);
    // No more audio will come for lane: what it holds is played out, then it is forgotten.
    void drain(Lane lane);

    // Takes frames from every primed lane and adds them into out (frames interleaved
    // frames, which the caller has filled, usually with zeros). out may be null to
    // take them without mixing.
    void mix(float* out, size_t frames);

    size_t laneCount() const { return lanes_.size(); }
    // Frames lane holds; 0 for unknown lanes.
    size_t buffered(Lane lane) const;

private:
    struct Ring {
        std::vector<float> samples;  // capacity of limitFrames + one chunk, grown when needed
        size_t head = 0;             // first held sample
        size_t size = 0;             // held samples
        bool primed = false;
        bool draining = false;
    };
    void append(Ring& ring, const float* data, size_t samples);
    void discard(Ring& ring, size_t samples);
    void take(Ring& ring, float* out, size_t samples);

    size_t channels_;
    size_t cushionFrames_;
    size_t limitFrames_;
    Lane next_ = 1;
    std::map<Lane, Ring> lanes_;
};

}  // namespace vx
