#include "platform/linux/pulse/pulse_audio_source.h"

#include <algorithm>
#include <mutex>

#include <pulse/def.h>
#include <pulse/sample.h>

#include "platform/linux/pulse/pulse_capture_session.h"
#include "platform/linux/pulse/pulse_identity.h"
#include "platform/linux/pulse/pulse_mainloop.h"

namespace vx {

PulseAudioSource::PulseAudioSource(const ContentFilter& filter,
                                   const StreamConfiguration& configuration)
    : excluded_{kCompanionIdentity},
      sampleRate_(configuration.sampleRate),
      channelCount_(configuration.channelCount) {
    for (const RunningApplication& application : filter.excludedApplications)
        if (!application.bundleIdentifier.empty()) excluded_.insert(application.bundleIdentifier);
}

PulseAudioSource::~PulseAudioSource() {
    if (loop_) loop_->stop();
}

std::optional<Error> PulseAudioSource::start(Deliver deliver, Stopped stopped) {
    if (loop_) return Error{PA_ERR_BADSTATE, "the sound-server capture is already running"};
    // The server records 1 to PA_CHANNELS_MAX channels at up to PA_RATE_MAX; a request
    // beyond that gets the nearest it can do, and the samples' description tells what
    // they hold (the writer repeats the last channel into any further ones).
    pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE,
                        uint32_t(std::clamp<int64_t>(sampleRate_, 1, PA_RATE_MAX)),
                        uint8_t(std::clamp<int64_t>(channelCount_, 1, PA_CHANNELS_MAX))};

    loop_ = PulseMainloop::start("vx-capture.pulse");
    if (!loop_) return Error{PA_ERR_INTERNAL, "cannot start the sound-server thread"};
    std::optional<Error> failure;
    {
        std::unique_lock<PulseMainloop> lock(*loop_);
        session_ = std::make_unique<PulseCaptureSession>(*loop_, sampleSpec, excluded_,
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
