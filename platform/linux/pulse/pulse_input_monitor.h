#pragma once
// What one sink input (a kept player) plays into the captured sink, recorded on a
// server connection of its own and pushed into its lane of the mixer. A connection
// per player keeps the streams from arriving in bursts on PipeWire's server.
//
// Made, used and destroyed on the loop thread (or with its lock held), never inside
// its own callbacks; destroy it before the mixer. When its recording ends (the
// input is gone, or the connection fails), it drains its lane and calls ended, on
// the loop thread; the owner then destroys it later.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <pulse/sample.h>

#include "platform/linux/pulse/pulse_connection.h"
#include "platform/linux/pulse/pulse_record_stream.h"
#include "platform/linux/pulse/sound_mixer.h"

namespace vx {

class PulseInputMonitor {
public:
    using Ended = std::function<void()>;

    struct Target {
        uint32_t sinkInput = 0;
        std::string monitorSource;  // the monitor source of the sink the input plays into
        pa_sample_spec sampleSpec{};
        size_t fragmentFrames = 0;
    };

    PulseInputMonitor(pa_mainloop_api* api, Target target, SoundMixer& mixer, Ended ended);
    ~PulseInputMonitor();

    PulseInputMonitor(const PulseInputMonitor&) = delete;
    PulseInputMonitor& operator=(const PulseInputMonitor&) = delete;

    // Starts connecting; ended runs if that fails at any point.
    void start();

private:
    void record();
    void end();

    Target target_;
    SoundMixer& mixer_;
    SoundMixer::Lane lane_;
    Ended ended_;
    bool over_ = false;
    PulseConnection connection_;
    std::unique_ptr<PulseRecordStream> stream_;  // destroyed before connection_
};

}  // namespace vx
