#pragma once
// When a key frame is due: at most 2 s of presentation time or fps x 2 frames
// after the last one, whatever the encoder does with the interval it was given.
#include <cstdint>
#include <optional>

#include "platform/media_time.h"

namespace vx {

// One per compression session; called on the session's encoding thread only.
class KeyframeClock {
public:
    // fps: the frames per second asked for (at least 1).
    explicit KeyframeClock(int fps);

    // Whether the frame at presentationTime must be a key frame: true for the
    // first frame, after a reset, and when 2 s of presentation time or fps x 2
    // frames have passed since the last key frame. Counts the frame.
    // A presentation time that goes backwards (a new time line) makes a key frame.
    bool due(Time presentationTime);

    // A key frame was produced for the frame at presentationTime (forced by us,
    // asked for by the parent, or chosen by the encoder): the count starts again.
    void keyFrameProduced(Time presentationTime);

    // The next frame must be a key frame (a new reader, a new picture size).
    void reset();

private:
    int64_t maxFrames_;
    int64_t framesSinceKey_ = 0;
    std::optional<int64_t> lastKeyNanoseconds_;
    std::optional<int64_t> lastFrameNanoseconds_;
};

}  // namespace vx
