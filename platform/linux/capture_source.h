#pragma once
// One producer of samples behind a Linux capture stream: the X11 screen or the
// sound server. The stream owns its sources for the life of the process.
#include <functional>
#include <memory>
#include <optional>

#include "platform/error.h"
#include "platform/sample_buffer.h"

namespace vx {

class CaptureSource {
public:
    // Called on the source's own thread, one sample at a time, in order.
    using Deliver = std::function<void(std::shared_ptr<const SampleBuffer>)>;
    // Called at most once, on the source's own thread, when the source can no
    // longer deliver (its server connection is lost).
    using Stopped = std::function<void(const Error&)>;

    virtual ~CaptureSource() = default;

    // Connects and starts delivering. An error means nothing was started.
    virtual std::optional<Error> start(Deliver deliver, Stopped stopped) = 0;

    // Whether anybody uses the samples now; a source may then work less or not at
    // all, and delivers a fresh sample soon once they are wanted again. Any thread,
    // before or after start(); sources start as wanted. Ignored by default.
    virtual void setFramesWanted(bool /*wanted*/) {}
};

}  // namespace vx
