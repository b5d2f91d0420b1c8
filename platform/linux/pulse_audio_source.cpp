#include "platform/linux/pulse_audio_source.h"

#include <mutex>

#include <pulse/def.h>
#include <pulse/sample.h>

#include "platform/linux/pulse_capture_session.h"
#include "platform/linux/pulse_mainloop.h"

namespace vx {

PulseAudioSource::PulseAudioSource(const ContentFilter& filter,
                                   const StreamConfiguration& configuration)
    : sampleRate_(configuration.sampleRate), channelCount_(configuration.channelCount) {
    for (const RunningApplication& application : filter.excludedApplications)
        if (!application.bundleIdentifier.empty()) excluded_.insert(application.bundleIdentifier);
}

PulseAudioSource::~PulseAudioSource() {
    if (loop_) loop_->stop();
}

std::optional<Error> PulseAudioSource::start(Deliver deliver, Stopped stopped) {
    if (loop_) return Error{PA_ERR_BADSTATE, "the sound-server capture is already running"};
    if (sampleRate_ < 1 || sampleRate_ > PA_RATE_MAX || channelCount_ < 1 ||
        channelCount_ > PA_CHANNELS_MAX)
        return Error{PA_ERR_NOTSUPPORTED, "the sound server cannot capture " +
                                              std::to_string(channelCount_) + " channels at " +
                                              std::to_string(sampleRate_) + " Hz"};
    pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, uint32_t(sampleRate_), uint8_t(channelCount_)};

    loop_ = PulseMainloop::start("vx-capture.pulse");
    if (!loop_) return Error{PA_ERR_INTERNAL, "cannot start the sound-server thread"};
    std::optional<Error> failure;
    {
        std::unique_lock<PulseMainloop> lock(*loop_);
        session_ = std::make_unique<PulseCaptureSession>(*loop_, spec, excluded_,
                                                         std::move(deliver), std::move(stopped));
        session_->begin();
        while (!session_->settled()) loop_->wait();
        failure = session_->failure();
    }
    if (failure) {
        loop_->stop();
        session_.reset();
        loop_.reset();
    }
    return failure;
}

}  // namespace vx
