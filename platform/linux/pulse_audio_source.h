#pragma once
// The system's audio output from the sound server. (Placeholder until it lands.)
#include "platform/linux/capture_source.h"
#include "platform/stream_configuration.h"

namespace vx {

class PulseAudioSource : public CaptureSource {
public:
    PulseAudioSource(const ContentFilter& filter, const StreamConfiguration& configuration);
    std::optional<Error> start(Deliver deliver, Stopped stopped) override;
};

}  // namespace vx
