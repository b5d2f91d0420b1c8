#include "platform/linux/linux_stream.h"

#include <thread>

#include "platform/linux/pulse/pulse_audio_source.h"
#include "platform/linux/wayland/portal_grant.h"
#include "platform/linux/wayland/wayland_screen_source.h"
#include "platform/linux/wayland/wayland_session.h"
#include "platform/linux/x11/x11_screen_source.h"

namespace vx {

namespace {

// The portal's stream where the displays came from a screen-cast grant; none for
// audio on a Wayland desktop without an X server (its screen frames are dropped
// anyway); else the X server's screen.
std::unique_ptr<CaptureSource> screenSource(const ContentFilter& filter,
                                            const StreamConfiguration& configuration) {
    if (PortalGrant::held()) return std::make_unique<WaylandScreenSource>(filter, configuration);
    if (configuration.capturesAudio && isWaylandSession() && !hasX11Display()) return nullptr;
    return std::make_unique<X11ScreenSource>(filter, configuration);
}

}  // namespace

std::shared_ptr<Stream> Stream::create(const ContentFilter& filter,
                                       const StreamConfiguration& configuration,
                                       std::shared_ptr<StreamDelegate> delegate) {
    return std::make_shared<LinuxStream>(filter, configuration, std::move(delegate));
}

LinuxStream::LinuxStream(ContentFilter filter, StreamConfiguration configuration,
                         std::shared_ptr<StreamDelegate> delegate)
    : filter_(std::move(filter)),
      configuration_(std::move(configuration)),
      delegate_(std::move(delegate)) {}

std::optional<Error> LinuxStream::addStreamOutput(std::shared_ptr<StreamOutput> output,
                                                  OutputType type,
                                                  std::shared_ptr<SerialQueue> queue) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (outputs_.count(type))
        return Error{kStreamOutputRefused, "an output of this type is already registered"};
    outputs_[type] = Registration{std::move(output), std::move(queue)};
    return std::nullopt;
}

void LinuxStream::startCapture(std::function<void(std::optional<Error>)> completionHandler) {
    // Connecting may take a moment; the handler runs on a thread of ours.
    std::thread([self = shared_from_this(), completionHandler = std::move(completionHandler)] {
        completionHandler(self->startSources());
    }).detach();
}

std::optional<Error> LinuxStream::startSources() {
    if (!sources_.empty()) return Error{kStreamAlreadyRunning, "the capture is already running"};
    std::vector<OutputType> types;
    if (auto screen = screenSource(filter_, configuration_)) {
        sources_.push_back(std::move(screen));
        types.push_back(OutputType::screen);
    }
    if (configuration_.capturesAudio) {
        sources_.push_back(std::make_unique<PulseAudioSource>(filter_, configuration_));
        types.push_back(OutputType::audio);
    }

    if (!types.empty() && types.front() == OutputType::screen) {
        std::lock_guard<std::mutex> guard(mutex_);
        screen_ = sources_.front().get();
        screen_->setFramesWanted(screenFramesWanted_);
    }
    std::weak_ptr<LinuxStream> weak = shared_from_this();
    for (size_t i = 0; i < sources_.size(); ++i) {
        const OutputType type = types[i];
        auto error = sources_[i]->start(
            [weak, type](std::shared_ptr<const SampleBuffer> sample) {
                if (auto self = weak.lock()) self->deliver(type, std::move(sample));
            },
            [weak](const Error& error) {
                if (auto self = weak.lock()) self->stop(error);
            });
        if (error) return error;
    }
    return std::nullopt;
}

void LinuxStream::setScreenFramesWanted(bool wanted) {
    std::lock_guard<std::mutex> guard(mutex_);
    screenFramesWanted_ = wanted;
    if (screen_) screen_->setFramesWanted(wanted);
}

void LinuxStream::deliver(OutputType type, std::shared_ptr<const SampleBuffer> sample) {
    Registration registration;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        auto found = outputs_.find(type);
        if (found == outputs_.end() || stopped_) return;
        registration = found->second;
    }
    registration.queue->async([output = registration.output, sample = std::move(sample),
                               self = shared_from_this(), type] {
        output->didOutputSampleBuffer(*self, *sample, type);
    });
}

void LinuxStream::stop(const Error& error) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (stopped_) return;
        stopped_ = true;
    }
    if (delegate_) delegate_->didStopWithError(*this, error);
}

}  // namespace vx
