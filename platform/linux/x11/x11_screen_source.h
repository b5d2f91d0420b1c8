#pragma once
// Screen frames of one X11 monitor: the rectangle of the filter's display (clipped
// to the screen), at most once per configured frame interval and only when something
// in it changed, scaled into the configured destination rectangle of a width x
// height NV12 picture (BT.709, video range) with black around it, cursor included
// when the configuration shows it. Pictures come from a pool of queueDepth (at least
// 3: the frame pump keeps the latest one).
//
// While frames are not wanted nothing is read from the server; the first frame
// after they are wanted again shows the whole area as it is then.
//
// start() connects to $DISPLAY and starts the capture thread; samples and the stop
// notice (the connection is lost) come on that thread. Destruction stops the thread.
// A picture size outside 2 .. kMaxScreenPictureSize on either side is refused by start().
#include <memory>
#include <mutex>
#include <thread>

#include "platform/linux/capture_source.h"
#include "platform/stream_configuration.h"

namespace vx {

class X11CaptureLoop;

class X11ScreenSource : public CaptureSource {
public:
    X11ScreenSource(const ContentFilter& filter, const StreamConfiguration& configuration);
    ~X11ScreenSource() override;

    std::optional<Error> start(Deliver deliver, Stopped stopped) override;
    void setFramesWanted(bool wanted) override;

private:
    std::mutex mutex_;    // guards wanted_ and the publication of loop_
    bool wanted_ = true;
    ContentFilter filter_;
    StreamConfiguration configuration_;
    std::shared_ptr<X11CaptureLoop> loop_;
    std::thread thread_;
};

}  // namespace vx
