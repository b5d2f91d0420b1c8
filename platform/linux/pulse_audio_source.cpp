#include "platform/linux/pulse_audio_source.h"

namespace vx {

PulseAudioSource::PulseAudioSource(const ContentFilter&, const StreamConfiguration&) {}

std::optional<Error> PulseAudioSource::start(Deliver, Stopped) {
    return Error{-1, "sound-server capture is not built yet"};
}

}  // namespace vx
