#include "platform/linux/pulse/pulse_capture_session.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/rtclock.h>
#include <pulse/timeval.h>

#include "platform/linux/pulse/pulse_operation.h"

namespace vx {

namespace {

// Fragments the server is asked for, and how far the capture runs behind the
// monitor: the cushion the kept players' streams need to have arrived by then.
// PipeWire's server holds them back 70 to 90 ms now and then when a player comes or
// goes on a busy machine; PulseAudio keeps them within a fragment or two.
constexpr size_t kFragmentMilliseconds = 10;
constexpr size_t kDelayMilliseconds = 30;
constexpr size_t kPipeWireDelayMilliseconds = 100;
// A new player is found on the monitor's timeline by matching this much of its
// sound within this far either side of where it was put.
constexpr size_t kMatchMilliseconds = 40;
constexpr size_t kSearchMilliseconds = 25;
// A placed player is matched again this often, in case one of the recordings lost
// some of its sound.
constexpr size_t kRecheckMilliseconds = 100;
// A player lane that grows past this has lost its clock and is cut back.
constexpr size_t kLaneLimitMilliseconds = 200;
// Mixing goes on this long after the last excluded player left, so that its last
// sound, still on its way through the monitor, stays out, and so that a player that
// comes and goes in quick succession (notification sounds) does not make the capture
// step back and forth between monitor and mix.
constexpr size_t kHoldMilliseconds = 1000;
// How often the players are listed again, for moves the server did not report.
constexpr uint64_t kRefreshMicroseconds = 500 * 1000;
// Going from the plain monitor to the mix and back fades over this long.
constexpr size_t kFadeMilliseconds = 10;
// How long the start waits for the server. The content query before it waits at most
// its own patience (pulse_applications.cpp): together they stay under five seconds.
constexpr uint64_t kStartPatienceSeconds = 3;

size_t framesOf(const pa_sample_spec& sampleSpec, size_t milliseconds) {
    return std::max<size_t>(1, size_t(sampleSpec.rate) * milliseconds / 1000);
}

}  // namespace

PulseCaptureSession::PulseCaptureSession(PulseMainloop& loop, const pa_sample_spec& sampleSpec,
                                         std::set<std::string> excluded,
                                         CaptureSource::Deliver deliver,
                                         CaptureSource::Stopped stopped)
    : loop_(loop),
      spec_(sampleSpec),
      excluded_(std::move(excluded)),
      deliver_(std::move(deliver)),
      stopped_(std::move(stopped)),
      fragmentFrames_(framesOf(sampleSpec, kFragmentMilliseconds)),
      holdFrames_(framesOf(sampleSpec, kHoldMilliseconds)),
      samples_(sampleSpec.rate, sampleSpec.channels),
      crossfade_(sampleSpec.channels, framesOf(sampleSpec, kFadeMilliseconds)),
      control_(loop.api(), "vx-capture") {}

PulseCaptureSession::~PulseCaptureSession() = default;

void PulseCaptureSession::begin() {
    auto error = control_.connect([this] { queryServer(); },
                                  [this](const Error& error) { end(error); });
    if (error) {
        settle(error);
        return;
    }
    startDeadline_ = PulseTimeEvent(loop_.api(), control_.context(),
                                    pa_rtclock_now() + kStartPatienceSeconds * PA_USEC_PER_SEC,
                                    onStartDeadline, this);
}

void PulseCaptureSession::onStartDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                          void* userdata) {
    auto* self = static_cast<PulseCaptureSession*>(userdata);
    self->settle(Error{PA_ERR_TIMEOUT, std::string(self->waitingFor_) + " within " +
                                           std::to_string(kStartPatienceSeconds) + " s"});
}

void PulseCaptureSession::queryServer() {
    if (!settled_) waitingFor_ = "the sound server did not answer";
    dropOperation(pa_context_get_server_info(control_.context(), onServerInfo, this));
}

void PulseCaptureSession::onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* self = static_cast<PulseCaptureSession*>(userdata);
    if (!self->mixer_) {
        bool pipeWire = info && info->server_name && std::strstr(info->server_name, "PipeWire");
        const pa_sample_spec& sampleSpec = self->spec_;
        self->mixer_ = std::make_unique<SoundMixer>(
            sampleSpec.channels,
            SoundMixer::Frames{
                framesOf(sampleSpec, pipeWire ? kPipeWireDelayMilliseconds : kDelayMilliseconds),
                framesOf(sampleSpec, kMatchMilliseconds), framesOf(sampleSpec, kSearchMilliseconds),
                framesOf(sampleSpec, kLaneLimitMilliseconds),
                framesOf(sampleSpec, kRecheckMilliseconds)});
    }
    self->defaultSink(info && info->default_sink_name ? info->default_sink_name : "");
}

void PulseCaptureSession::defaultSink(const std::string& name) {
    if (!settled_ && name.empty()) {
        settle(Error{PA_ERR_NOENTITY, "the sound server has no default output"});
        return;
    }
    if (name.empty() || name == sinkName_) {
        // Nowhere else to go: a lost recording of the monitor ends the capture.
        if (clockLost_) end(*clockLost_);
        return;
    }
    dropOperation(pa_context_get_sink_info_by_name(control_.context(), name.c_str(), onSinkInfo, this));
}

void PulseCaptureSession::onSinkInfo(pa_context* context, const pa_sink_info* info, int eol,
                                     void* userdata) {
    auto* self = static_cast<PulseCaptureSession*>(userdata);
    if (eol > 0) return;
    if (eol < 0 || !info || !info->monitor_source_name) self->sinkMissing(pa_context_errno(context));
    else self->sinkFound(*info);
}

void PulseCaptureSession::sinkMissing(int code) {
    if (!code) code = PA_ERR_NOENTITY;
    Error error{code, std::string("cannot find the sound server's default output: ") +
                          pa_strerror(code)};
    if (!settled_) settle(error);
    else if (clockLost_) end(*clockLost_);
}

void PulseCaptureSession::sinkFound(const pa_sink_info& info) {
    if (settled_) {
        switchTo(info);
        return;
    }
    sinkName_ = info.name;
    sinkIndex_ = info.index;
    monitorSource_ = info.monitor_source_name;
    PulseServerTracker::Callbacks callbacks;
    callbacks.announced = [this](uint32_t index) { announced(index); };
    callbacks.seen = [this](const PulseServerTracker::Input& input) { seen(input); };
    callbacks.gone = [this](uint32_t index) { gone(index); };
    callbacks.sinkGain = [this](float gain) { sinkGain_ = gain; };
    callbacks.serverChanged = [this] { queryServer(); };
    tracker_ = std::make_unique<PulseServerTracker>(loop_.api(), control_.context(),
                                                    std::move(callbacks));
    tracker_->start(sinkIndex_, [this] { recordMonitor(); });
    if (!excluded_.empty()) tracker_->refreshEvery(kRefreshMicroseconds);
}

void PulseCaptureSession::switchTo(const pa_sink_info& info) {
    sinkName_ = info.name;
    sinkIndex_ = info.index;
    monitorSource_ = info.monitor_source_name;
    clockLost_.reset();
    sinkGain_ = 1.0f;
    tracker_->followSink(sinkIndex_);
    std::vector<uint64_t> watched;
    for (const auto& [key, monitor] : monitors_) watched.push_back(key);
    for (uint64_t key : watched) retire(key);
    for (auto& [index, player] : players_) place(player, index);
    recordMonitor();
}

void PulseCaptureSession::recordMonitor() {
    if (clock_) {
        retiredClocks_.push_back(std::move(clock_));
        loop_.later([this] { retiredClocks_.clear(); });
    }
    if (!settled_) waitingFor_ = "the sound server did not start recording its output";
    uint64_t generation = ++clockGeneration_;
    clock_ = std::make_unique<PulseRecordStream>(control_.context(), "vx-capture", spec_);
    auto error = clock_->connect(
        monitorSource_, std::nullopt, fragmentFrames_, [this] { settle(std::nullopt); },
        [this, generation](const float* data, size_t frames) {
            if (generation == clockGeneration_) clockChunk(data, frames);
        },
        [this, generation](const Error& error) {
            if (generation == clockGeneration_) clockEnded(error);
        });
    if (error) clockEnded(*error);
}

void PulseCaptureSession::clockEnded(const Error& error) {
    if (!settled_) {
        settle(error);
        return;
    }
    // The captured output may have gone away, leaving another one as the default: look.
    clockLost_ = error;
    queryServer();
}

void PulseCaptureSession::settle(std::optional<Error> failure) {
    if (settled_) return;
    settled_ = true;
    failure_ = std::move(failure);
    startDeadline_ = PulseTimeEvent();  // may be the one calling: freeing a firing timer is allowed
    loop_.signal();
}

void PulseCaptureSession::end(const Error& error) {
    if (!settled_) {
        settle(error);
        return;
    }
    if (failure_ || ended_) return;
    ended_ = true;
    if (stopped_) stopped_(error);
}

void PulseCaptureSession::announced(uint32_t index) {
    if (!excluded_.empty()) players_.try_emplace(index);
}

void PulseCaptureSession::seen(const PulseServerTracker::Input& input) {
    if (excluded_.empty()) return;
    Player& player = players_[input.index];
    player.sink = input.sink;
    // A player is its application's whichever way it names itself: by its own
    // properties or by those of the client that made it. Once left out it stays out,
    // whatever it renames itself to later.
    bool excluded = player.role == Role::excluded || excluded_.count(input.identity) ||
                    excluded_.count(input.clientIdentity);
    player.role = excluded ? Role::excluded : Role::kept;
    place(player, input.index);
}

void PulseCaptureSession::gone(uint32_t index) {
    // A watched player's recording is ended by the server right after this; its
    // monitor drains what is still under way then.
    players_.erase(index);
}

// Watches a kept player of the captured sink, and only those.
void PulseCaptureSession::place(Player& player, uint32_t index) {
    bool wanted = player.role == Role::kept && player.sink == sinkIndex_;
    if (!wanted) {
        if (player.monitor) retire(std::exchange(player.monitor, 0));
        return;
    }
    if (player.monitor) return;
    uint64_t key = nextMonitor_++;
    PulseInputMonitor::Target target{index, monitorSource_, spec_, fragmentFrames_};
    auto monitor = std::make_unique<PulseInputMonitor>(loop_.api(), std::move(target), *mixer_,
                                                       [this, key] { retire(key); });
    PulseInputMonitor& started = *monitor;
    monitors_[key] = std::move(monitor);
    player.monitor = key;
    started.start();
}

void PulseCaptureSession::retire(uint64_t monitor) {
    auto found = monitors_.find(monitor);
    if (found == monitors_.end()) return;
    retired_.push_back(std::move(found->second));
    monitors_.erase(found);
    for (auto& [index, player] : players_)
        if (player.monitor == monitor) player.monitor = 0;
    // Not now: this may run inside one of the monitor's own callbacks.
    loop_.later([this] { retired_.clear(); });
}

bool PulseCaptureSession::excludedPresent() const {
    for (const auto& [index, player] : players_) {
        if (player.role == Role::pending) return true;
        if (player.role == Role::excluded &&
            (player.sink == sinkIndex_ || player.sink == PA_INVALID_INDEX))
            return true;
    }
    return false;
}

void PulseCaptureSession::clockChunk(const float* data, size_t frames) {
    SoundSamples::Made made = samples_.make(frames);
    if (excluded_.empty()) {
        if (data) std::copy_n(data, frames * spec_.channels, made.frames);
    } else {
        bool present = excludedPresent();
        if (present) holdLeft_ = holdFrames_;
        bool toMix = present || holdLeft_ > 0;
        if (!present) holdLeft_ -= std::min(holdLeft_, frames);
        delayed_.resize(frames * spec_.channels);
        mixer_->setHeard(toMix || crossfade_.mixWeight() > 0.0f);
        mixer_->clock(data, frames, delayed_.data(), made.frames);
        if (sinkGain_ != 1.0f)
            for (size_t i = 0; i < frames * spec_.channels; ++i) made.frames[i] *= sinkGain_;
        crossfade_.blend(delayed_.data(), made.frames, frames, toMix);
    }
    if (deliver_) deliver_(std::move(made.sample));
}

}  // namespace vx
