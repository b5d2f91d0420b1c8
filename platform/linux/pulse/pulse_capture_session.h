#pragma once
// The capture of the sound server's default output, run on the loop thread.
//
// One control connection finds the default sink, follows its players and records
// the sink's whole monitor, which clocks the capture: every chunk it delivers
// becomes one sample. When the default output changes (or the captured one goes
// away and another is the default), the capture moves to the new one.
//
// A player is excluded when its own identity or its owner client's is one of the
// excluded identities, whenever it appears during the capture. Each kept player of
// the sink is recorded on a connection of its own and mixed in step with the
// monitor (SoundMixer), 30 ms behind it (100 ms on PipeWire). While no excluded
// player is present, the sample is the monitor as it was that much earlier (the
// plain monitor); otherwise it is the mix of the kept players, as many frames as
// the clock chunk. A player whose details are not known yet counts as excluded, so
// that an excluded player is left out from its first sound; the mix goes on a moment
// after the last excluded player left. Both ways the capture fades between the two,
// which are the same sound at the same moment. Without any excluded identity the
// capture is always the plain monitor, undelayed. The players are recorded before
// the output's own volume and mute, so the mix gets them applied like the monitor
// has them.
//
// A server that does not answer ends the start after a few seconds with an error that
// says which step it left unanswered.
//
// Made, begun and destroyed with the loop's lock held (or the loop stopped). The
// outcome is known once settled() (the loop is signalled then); deliver and stopped
// run on the loop thread, stopped at most once and only after a successful start.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <pulse/introspect.h>
#include <pulse/sample.h>

#include "platform/linux/capture_source.h"
#include "platform/linux/pulse/pulse_connection.h"
#include "platform/linux/pulse/pulse_input_monitor.h"
#include "platform/linux/pulse/pulse_mainloop.h"
#include "platform/linux/pulse/pulse_record_stream.h"
#include "platform/linux/pulse/pulse_server_tracker.h"
#include "platform/linux/pulse/pulse_time_event.h"
#include "platform/linux/pulse/sound_crossfade.h"
#include "platform/linux/pulse/sound_mixer.h"
#include "platform/linux/pulse/sound_samples.h"

namespace vx {

class PulseCaptureSession {
public:
    PulseCaptureSession(PulseMainloop& loop, const pa_sample_spec& sampleSpec,
                        std::set<std::string> excluded, CaptureSource::Deliver deliver,
                        CaptureSource::Stopped stopped);
    ~PulseCaptureSession();

    PulseCaptureSession(const PulseCaptureSession&) = delete;
    PulseCaptureSession& operator=(const PulseCaptureSession&) = delete;

    void begin();
    bool settled() const { return settled_; }
    // After settled(): why the capture did not start, or nothing when it runs.
    const std::optional<Error>& failure() const { return failure_; }

private:
    enum class Role { pending, kept, excluded };
    struct Player {
        Role role = Role::pending;
        uint32_t sink = 0;
        uint64_t monitor = 0;  // key in monitors_, 0 for none
    };

    static void onServerInfo(pa_context* context, const pa_server_info* info, void* userdata);
    static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* userdata);
    void queryServer();
    void defaultSink(const std::string& name);
    void sinkFound(const pa_sink_info& info);
    void sinkMissing(int code);
    void switchTo(const pa_sink_info& info);
    void recordMonitor();
    void clockEnded(const Error& error);
    void settle(std::optional<Error> failure);
    static void onStartDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                void* userdata);
    void end(const Error& error);

    void announced(uint32_t index);
    void seen(const PulseServerTracker::Input& input);
    void gone(uint32_t index);
    void place(Player& player, uint32_t index);
    void retire(uint64_t monitor);
    bool excludedPresent() const;
    void clockChunk(const float* data, size_t frames);

    PulseMainloop& loop_;
    pa_sample_spec spec_;
    std::set<std::string> excluded_;
    CaptureSource::Deliver deliver_;
    CaptureSource::Stopped stopped_;
    size_t fragmentFrames_;
    size_t holdFrames_;      // how long mixing goes on after the last excluded player left
    size_t holdLeft_ = 0;

    bool settled_ = false;
    const char* waitingFor_ = "the sound server did not answer";  // what the start waits on
    std::optional<Error> failure_;
    bool ended_ = false;
    std::optional<Error> clockLost_;  // the monitor's recording ended; is there another output?

    // The captured sink: the server's default output, followed when that changes.
    std::string sinkName_;
    uint32_t sinkIndex_ = 0;
    std::string monitorSource_;
    float sinkGain_ = 1.0f;  // the players are recorded before the sink's volume: the mix gets it here

    SoundSamples samples_;
    std::unique_ptr<SoundMixer> mixer_;  // made once the server is known
    std::vector<float> delayed_;  // the monitor as it was, in step with the mix
    SoundCrossfade crossfade_;
    std::map<uint32_t, Player> players_;
    uint64_t nextMonitor_ = 1;
    // Destroyed before the mixer; retired ones are destroyed on a later loop turn.
    std::map<uint64_t, std::unique_ptr<PulseInputMonitor>> monitors_;
    std::vector<std::unique_ptr<PulseInputMonitor>> retired_;

    PulseConnection control_;
    PulseTimeEvent startDeadline_;  // until settled; destroyed before control_
    std::unique_ptr<PulseServerTracker> tracker_;
    uint64_t clockGeneration_ = 0;  // a replaced clock's late callbacks are ignored
    std::unique_ptr<PulseRecordStream> clock_;  // destroyed before control_
    std::vector<std::unique_ptr<PulseRecordStream>> retiredClocks_;
};

}  // namespace vx
