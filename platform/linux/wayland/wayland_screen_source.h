#pragma once
// Screen frames of one monitor of a Wayland desktop, through the desktop portal's
// screen cast and PipeWire: the grant the shareable-content query obtained (or a
// new one when there is none), its stream chosen by the filter's display (the
// display identifiers are the positions of the granted streams; an unknown one
// takes the first), scaled into the configured destination rectangle of a width x
// height NV12 picture with black around it, at most once per frame interval and
// only when something changed. Pictures come from a pool of queueDepth (at least 3).
// While frames are not wanted nothing is converted; the newest change is converted
// as soon as they are wanted again.
//
// start() blocks until the first frame was delivered (or fails); samples and the
// stop notice come on the PipeWire loop thread. Destruction ends the screen cast.
#include <memory>
#include <mutex>

#include "platform/linux/capture_source.h"
#include "platform/stream_configuration.h"

namespace vx {

class PipeWireCapture;
class PortalGrant;

class WaylandScreenSource : public CaptureSource {
public:
    WaylandScreenSource(const ContentFilter& filter, const StreamConfiguration& configuration);
    ~WaylandScreenSource() override;

    std::optional<Error> start(Deliver deliver, Stopped stopped) override;
    void setFramesWanted(bool wanted) override;

private:
    ContentFilter filter_;
    StreamConfiguration configuration_;
    std::shared_ptr<PortalGrant> grant_;       // keeps the portal session open
    std::mutex mutex_;  // guards the two below against setFramesWanted on other threads
    std::unique_ptr<PipeWireCapture> capture_;  // goes before the grant
    bool wanted_ = true;
};

}  // namespace vx
