#pragma once
// The capture stream on macOS: an SCStream built from the filter and the
// configuration, with one VXStreamAdapter as its delegate and one per registered
// output. Outputs are registered on the libdispatch queue behind the SerialQueue
// they come with. Created and wired on the start task; the framework calls back
// on its own threads and on the outputs' queues. Objective-C++ (ARC) only.
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/macos/stream_adapter.h"
#include "platform/macos/stream_settings.h"
#include "platform/stream.h"

namespace vx {

class MacStream : public Stream, public std::enable_shared_from_this<MacStream> {
public:
    static std::shared_ptr<MacStream> create(const ContentFilter& filter,
                                             const StreamConfiguration& configuration,
                                             std::shared_ptr<StreamDelegate> delegate);

    std::optional<Error> addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                                         std::shared_ptr<SerialQueue> queue) override;
    void startCapture(std::function<void(std::optional<Error>)> completionHandler) override;
    // updateConfiguration:completionHandler: with a minimumFrameInterval of 1 s while
    // nobody reads, back to the configured one when somebody does. Failures are
    // ignored: it is a hint.
    void setScreenFramesWanted(bool wanted) override;

private:
    MacStream() = default;
    void open(const ContentFilter& filter, const StreamConfiguration& configuration,
              std::shared_ptr<StreamDelegate> delegate);

    StreamSettings settings_;
    SCStream* stream_ = nil;                 // nil when the settings could not be made
    VXStreamAdapter* delegateAdapter_ = nil;
    std::mutex mutex_;                       // guards the two lists below and wanted_
    CMTime wantedInterval_ = kCMTimeZero;    // the configured minimumFrameInterval
    bool wanted_ = true;
    std::vector<VXStreamAdapter*> outputAdapters_;
    std::vector<std::shared_ptr<SerialQueue>> queues_;
};

}  // namespace vx
