#pragma once
// Screen frames of one X11 monitor. (Placeholder until the X11 capture lands.)
#include "platform/linux/capture_source.h"
#include "platform/stream_configuration.h"

namespace vx {

class X11ScreenSource : public CaptureSource {
public:
    X11ScreenSource(const ContentFilter& filter, const StreamConfiguration& configuration);
    std::optional<Error> start(Deliver deliver, Stopped stopped) override;
};

}  // namespace vx
