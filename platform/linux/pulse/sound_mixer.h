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
// monitor within `search` frames either side, and the lane moves there. A lane
// that has not been matched after a while stays where it was put.
//
// A server may lose a stretch of one recording and not of the other (PipeWire's
// does, a period of its graph at a time, when its clients come and go on a busy
// machine), which moves a lane against the monitor for good. So with `recheck` set,
// a placed lane's own place is checked every `recheck` frames of it; when that holds
// clearly less of it than it did, through the whole window (where half of it still
// holds the lane as before, a lost stretch lies within: it is looked at again once
// past), the lane is searched for again, and when another place holds clearly more
// of it, it moves there: at once while the mix is not heard, else gliding there,
// played a little faster or slower, so that the mix has no seam. Of equally good
// places (a steady tone repeats every period) it takes the nearest.
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
        size_t recheck = 0;  // 0: a placed lane is never matched again
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

    // Whether the mix is heard now (true until told otherwise): then lanes glide.
    void setHeard(bool heard) { heard_ = heard; }

    size_t laneCount() const { return lanes_.size(); }
    // Whether lane's place on the monitor's timeline is settled (found or given up on).
    bool placed(Lane lane) const;

private:
    struct Ring {
        std::vector<float> samples;
        size_t head = 0;     // first held sample
        size_t size = 0;     // held samples
        int64_t start = 0;   // place of the first held frame
        double phase = 0.0;  // how far past the first held frame it is played (0 to 1)
        double glide = 0.0;  // frames it has yet to move later (earlier: negative)
        bool begun = false;
        bool draining = false;
        bool placed = false;
        std::vector<float> probe;  // the lane's newest frames (first channel) while matched
        int64_t probeEnd = 0;      // place after the probe's last frame
        size_t sinceTry = 0;
        int tries = 0;
        double share = 0.0;  // how much of the lane its place held when last matched (0: unknown)
    };
    void append(Ring& ring, const float* data, size_t frames);
    void discard(Ring& ring, size_t frames);
    void take(Ring& ring, float* out, size_t frames);
    // The lane's newest window against the monitor at each shift (0 to 2 span, span
    // being where the lane is now).
    struct Match {
        double own = 0.0;                     // the window's energy
        std::vector<double> sums;             // its correlation with the monitor
        std::vector<double> energies;         // the monitor's energy there
        double firstOwn = 0.0;                // the window's first half: its energy,
        double firstSum = 0.0;                // and its correlation where the lane is now
        double likeness(size_t shift) const;  // normalised correlation
    };
    bool match(Ring& ring, size_t span, Match& found);
    void tryToPlace(Ring& ring);
    // next: the next place clock() gives out.
    void recheck(Ring& ring, int64_t next);
    void move(Ring& ring, int64_t shift);
    void glideOut(Ring& ring, float* out, size_t frames);
    float history(int64_t place, size_t channel) const;

    size_t channels_;
    Frames frames_;
    int64_t monitorFrames_ = 0;
    std::vector<float> history_;  // the monitor's last historyFrames_ frames, by place
    size_t historyFrames_;
    std::vector<float> scratch_;
    Match match_;
    Lane next_ = 1;
    bool heard_ = true;
    std::map<Lane, Ring> lanes_;
};

}  // namespace vx
