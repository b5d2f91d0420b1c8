#pragma once
// The capture stream on macOS: an SCStream built from the filter and the
// configuration, with one VXStreamAdapter as its delegate and one per registered
// output. Outputs are registered on the libdispatch queue behind the SerialQueue
// they come with. Created and wired on the start task; the framework calls back
// on its own threads and on the outputs' queues. Objective-C++ (ARC) only.
//
// A stream that captures audio asks the framework for a rate and a channel count
// it takes (RateConversion) and converts the audio to the rate asked for
// (AudioRateConverter); a converter that cannot be made fails the start. Its filter
// leaves out the companion besides the applications named, and once running it
// keeps them left out as they launch and quit (ExclusionWatch).
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/application_exclusion.h"
#include "platform/macos/audio_rate_converter.h"
#include "platform/macos/exclusion_watch.h"
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
    // Once the stream runs: an audio capture's ExclusionWatch. On a framework thread.
    void watchExclusions();
    void open(const ContentFilter& filter, const StreamConfiguration& configuration,
              std::shared_ptr<StreamDelegate> delegate);

    StreamSettings settings_;
    SCStream* stream_ = nil;                         // nil when the settings could not be made
    std::shared_ptr<AudioRateConverter> converter_;  // empty: the audio comes at the rate asked for
    uint32_t displayID_ = 0;
    VXStreamAdapter* delegateAdapter_ = nil;
    std::mutex mutex_;                     // guards wanted_ and everything below
    CMTime wantedInterval_ = kCMTimeZero;  // the configured minimumFrameInterval
    bool wanted_ = true;
    std::vector<VXStreamAdapter*> outputAdapters_;
    std::vector<std::shared_ptr<SerialQueue>> queues_;
    std::optional<ApplicationExclusion> exclusion_;  // audio only, until the watch takes it
    std::shared_ptr<ExclusionWatch> exclusionWatch_;
};

}  // namespace vx
