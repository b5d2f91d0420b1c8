#pragma once
// The capture stream on Linux: the X11 screen source, plus the sound-server source
// when the configuration captures audio. Samples go to the registered outputs on
// their queues; the first source that stops stops the stream.
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/linux/capture_source.h"
#include "platform/stream.h"

namespace vx {

class LinuxStream : public Stream, public std::enable_shared_from_this<LinuxStream> {
public:
    LinuxStream(ContentFilter filter, StreamConfiguration configuration,
                std::shared_ptr<StreamDelegate> delegate);

    std::optional<Error> addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                                         std::shared_ptr<SerialQueue> queue) override;
    void startCapture(std::function<void(std::optional<Error>)> completionHandler) override;
    // Passed on to the screen source, now or once it exists.
    void setScreenFramesWanted(bool wanted) override;

private:
    struct Registration {
        std::shared_ptr<StreamOutput> output;
        std::shared_ptr<SerialQueue> queue;
    };

    std::optional<Error> startSources();
    void deliver(OutputType type, std::shared_ptr<const SampleBuffer> sample);
    void stop(const Error& error);

    ContentFilter filter_;
    StreamConfiguration configuration_;
    std::shared_ptr<StreamDelegate> delegate_;
    std::mutex mutex_;  // guards outputs_, stopped_, screenFramesWanted_ and screen_
    std::map<OutputType, Registration> outputs_;
    bool stopped_ = false;
    bool screenFramesWanted_ = true;
    CaptureSource* screen_ = nullptr;  // the screen's source once it exists, if any
    std::vector<std::unique_ptr<CaptureSource>> sources_;
};

}  // namespace vx
