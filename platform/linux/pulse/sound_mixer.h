#pragma once
// Mixes players that arrive on streams of their own in step with the monitor they
// play into, so that the mix and the plain monitor are the same sound at the same
// moment and the capture can fade from one to the other without a click or a gap.
//
// Every frame has a place on the monitor's timeline (frames of the monitor since
// the mixer began). Each clock() takes the monitor's next chunk and gives out the
// chunk that lies `delay` frames behind it twice: as the monitor was (`delayed`)
// and as the lanes' frames at those same places added up (`mix`). The delay is the
// cushion the players' streams need to have arrived.
//
// A lane's first chunk is placed at the monitor's newest frames (they come from
// the same rendering, on another connection, at about the same time). Its place is
// then found exactly: its first audible `window` frames are matched against the
// monitor within `search` frames either side, and the lane moves there once. A lane
// that has not been matched after a while stays where it was put.
//
// Frames that come after their place was given out are dropped and places with no
// frames are silence, so a stalled lane does not shift in time. Only a lane that
// holds nothing but late frames (it does not keep up within the delay) moves: it
// is played from then on, later than the monitor. A lane that
// holds more than `delay` + `limit` frames (its clock stalled) drops its oldest. A
// drained lane plays out what it holds and goes.
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
    struct Frames {
        size_t delay = 0;
        size_t window = 0;
        size_t search = 0;
        size_t limit = 0;
    };

    SoundMixer(size_t channels, Frames frames);

    // Opens a lane, which waits for audio until drained.
    Lane open();
    // Appends interleaved frames to lane; null data appends silence. Unknown lanes are ignored.
    void push(Lane lane, const float* data, size_t frames);
    // No more audio will come for lane: what it holds is played out, then it is forgotten.
    void drain(Lane lane);

    // monitor: the monitor's next frames (null: silence). delayed and mix receive
    // frames interleaved frames each; mix is added into (the caller zeroes it).
    void clock(const float* monitor, size_t frames, float* delayed, float* mix);

    size_t laneCount() const { return lanes_.size(); }
    // Whether lane's place on the monitor's timeline is settled (found or given up on).
    bool placed(Lane lane) const;

private:
    struct Ring {
        std::vector<float> samples;
        size_t head = 0;    // first held sample
        size_t size = 0;    // held samples
        int64_t start = 0;  // place of the first held frame
        bool begun = false;
        bool draining = false;
        bool placed = false;
        std::vector<float> probe;  // the lane's newest frames (first channel) while not placed
        int64_t probeEnd = 0;      // place after the probe's last frame
        size_t sinceTry = 0;
        int tries = 0;
    };
    void append(Ring& ring, const float* data, size_t frames);
    void discard(Ring& ring, size_t frames);
    void take(Ring& ring, float* out, size_t frames);
    void tryToPlace(Ring& ring);
    float history(int64_t place, size_t channel) const;

    size_t channels_;
    Frames frames_;
    int64_t monitorFrames_ = 0;
    std::vector<float> history_;  // the monitor's last historyFrames_ frames, by place
    size_t historyFrames_;
    std::vector<float> scratch_;
    Lane next_ = 1;
    std::map<Lane, Ring> lanes_;
};

}  // namespace vx
