#pragma once
// The system's audio output, from the sound server (PulseAudio, or PipeWire's
// PulseAudio server): the default output's monitor as 32-bit float interleaved
// samples at the configured rate and channel count, in chunks of about 10 ms, with
// the players whose identity the filter excludes left out, and the companion's
// players always (kCompanionIdentity): the capture watches for it from the start to
// the end, so it is left out whenever it plays, whether or not the filter named it.
//
// start() runs on any thread but the source's own and returns once audio flows, or
// with an error (libpulse's error number as its code) when the server cannot be
// reached, does not answer within a few seconds or has no output. Samples and the
// stop (the server connection lost, or no output left) come on the source's own
// thread (the sound-server loop). The stream owns the source for the life of the
// process; destroying it stops the loop first.
#include <memory>
#include <set>
#include <string>

#include "platform/linux/capture_source.h"
#include "platform/stream_configuration.h"

namespace vx {

class PulseMainloop;
class PulseCaptureSession;

class PulseAudioSource : public CaptureSource {
public:
    PulseAudioSource(const ContentFilter& filter, const StreamConfiguration& configuration);
    ~PulseAudioSource() override;

    std::optional<Error> start(Deliver deliver, Stopped stopped) override;

private:
    std::set<std::string> excluded_;
    int64_t sampleRate_;
    int64_t channelCount_;
    std::unique_ptr<PulseMainloop> loop_;
    std::unique_ptr<PulseCaptureSession> session_;  // destroyed before loop_
};

}  // namespace vx
