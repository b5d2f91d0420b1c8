#pragma once
// When a key frame is due: at most 2 s of presentation time or fps x 2 frames
// after the last one (or other limits given), whatever the encoder does with the
// interval it was given. Repeats of the picture coded last may be left out of the
// count of frames, so that a still screen resent often does not shorten the interval.
#include <cstdint>
#include <optional>

#include "platform/media_time.h"

namespace vx {

// One per compression session; called on the session's encoding thread only.
class KeyframeClock {
public:
    // fps: the frames per second asked for (at least 1).
    explicit KeyframeClock(int fps);
    // At most maxFrames frames (at least 1) and, when given, maxSeconds of
    // presentation time apart.
    KeyframeClock(int64_t maxFrames, std::optional<int64_t> maxSeconds);

    // Whether the frame at presentationTime must be a key frame: true for the
    // first frame, after a reset, and when 2 s of presentation time or fps x 2
    // frames have passed since the last key frame. Counts the frame unless it is a
    // repeat (the very picture coded last, again).
    // A presentation time that goes backwards (a new time line) makes a key frame.
    bool due(Time presentationTime, bool repeat = false);

    // A key frame was produced for the frame at presentationTime (forced by us,
    // asked for by the parent, or chosen by the encoder): the count starts again.
    void keyFrameProduced(Time presentationTime);

    // The next frame must be a key frame (a new reader, a new picture size).
    void reset();

private:
    int64_t maxFrames_;
    std::optional<int64_t> maxNanoseconds_;
    int64_t framesSinceKey_ = 0;
    std::optional<int64_t> lastKeyNanoseconds_;
    std::optional<int64_t> lastFrameNanoseconds_;
};

}  // namespace vx
