#include "platform/macos/mac_stream.h"

#include <variant>
#include <vector>

#include "platform/macos/framework_content.h"
#include "platform/macos/framework_error.h"
#include "platform/macos/serial_queue_native.h"

namespace vx {

std::shared_ptr<Stream> Stream::create(const ContentFilter& filter,
                                       const StreamConfiguration& configuration,
                                       std::shared_ptr<StreamDelegate> delegate) {
    return MacStream::create(filter, configuration, std::move(delegate));
}

std::shared_ptr<MacStream> MacStream::create(const ContentFilter& filter,
                                             const StreamConfiguration& configuration,
                                             std::shared_ptr<StreamDelegate> delegate) {
    std::shared_ptr<MacStream> stream(new MacStream());
    stream->open(filter, configuration, std::move(delegate));
    return stream;
}

void MacStream::open(const ContentFilter& filter, const StreamConfiguration& configuration,
                     std::shared_ptr<StreamDelegate> delegate) {
    ContentFilter captured = filter;
    StreamConfiguration asked = configuration;
    if (configuration.capturesAudio) {
        asked.sampleRate = RateConversion::captureRate(configuration.sampleRate);
        asked.channelCount = RateConversion::captureChannels(configuration.channelCount);
        if (asked.sampleRate != configuration.sampleRate) {
            auto made = AudioRateConverter::create(asked.sampleRate, configuration.sampleRate,
                                                   asked.channelCount);
            if (auto* error = std::get_if<Error>(&made)) {
                settings_.error = *error;
                return;
            }
            converter_ = std::move(std::get<std::unique_ptr<AudioRateConverter>>(made));
        }
        // The processes to leave out, from the list the filter is built from.
        exclusion_.emplace(filter.excludedApplications);
        const std::vector<RunningApplication> running = FrameworkContent::runningApplications();
        captured.excludedApplications.clear();
        const std::vector<size_t> positions =
            exclusion_->update(running).value_or(std::vector<size_t>{});
        for (size_t position : positions)
            captured.excludedApplications.push_back(running[position]);
        displayID_ = filter.display.displayID;
    }
    settings_ = streamSettings(captured, asked);
    if (settings_.error) return;
    wantedInterval_ = settings_.configuration.minimumFrameInterval;
    delegateAdapter_ = [[VXStreamAdapter alloc] initWithStream:weak_from_this()
                                                        output:nullptr
                                                      delegate:std::move(delegate)
                                                     converter:nullptr];
    stream_ = [[SCStream alloc] initWithFilter:settings_.filter
                                 configuration:settings_.configuration
                                      delegate:delegateAdapter_];
}

std::optional<Error> MacStream::addStreamOutput(std::shared_ptr<StreamOutput> output,
                                                OutputType type,
                                                std::shared_ptr<SerialQueue> queue) {
    if (!stream_) return settings_.error;
    VXStreamAdapter* adapter =
        [[VXStreamAdapter alloc] initWithStream:weak_from_this()
                                         output:std::move(output)
                                       delegate:nullptr
                                      converter:type == OutputType::audio ? converter_ : nullptr];
    const SCStreamOutputType frameworkType =
        type == OutputType::audio ? SCStreamOutputTypeAudio : SCStreamOutputTypeScreen;
    NSError* error = nil;
    if (![stream_ addStreamOutput:adapter
                             type:frameworkType
               sampleHandlerQueue:queue->native().queue
                            error:&error]) {
        return error ? frameworkError(error)
                     : Error{SCStreamErrorInvalidParameter, "the stream refused the output"};
    }
    std::lock_guard<std::mutex> guard(mutex_);
    outputAdapters_.push_back(adapter);
    queues_.push_back(std::move(queue));
    return std::nullopt;
}

void MacStream::startCapture(std::function<void(std::optional<Error>)> completionHandler) {
    if (!stream_) {
        // Answered on a framework thread, as the framework itself would.
        std::optional<Error> error = settings_.error;
        dispatch_async(dispatch_get_global_queue(QOS_CLASS_DEFAULT, 0), ^{
          completionHandler(error);
        });
        return;
    }
    std::weak_ptr<MacStream> weak = weak_from_this();
    [stream_ startCaptureWithCompletionHandler:^(NSError* error) {
      if (error) {
          completionHandler(frameworkError(error));
          return;
      }
      if (auto self = weak.lock()) self->watchExclusions();
      completionHandler(std::nullopt);
    }];
}

void MacStream::watchExclusions() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!exclusion_ || exclusionWatch_) return;
    exclusionWatch_ = ExclusionWatch::start(stream_, displayID_, std::move(*exclusion_));
    exclusion_.reset();
}

void MacStream::setScreenFramesWanted(bool wanted) {
    if (!stream_) return;
    std::lock_guard<std::mutex> guard(mutex_);
    if (wanted == wanted_) return;
    wanted_ = wanted;
    settings_.configuration.minimumFrameInterval = wanted ? wantedInterval_ : CMTimeMake(1, 1);
    [stream_ updateConfiguration:settings_.configuration
               completionHandler:^(NSError*){
               }];
}

}  // namespace vx
