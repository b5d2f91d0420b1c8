#include "platform/linux/pulse/pulse_server_tracker.h"

#include <pulse/context.h>
#include <pulse/operation.h>
#include <pulse/rtclock.h>
#include <pulse/volume.h>

#include <utility>

#include "platform/linux/pulse/pulse_identity.h"

namespace vx {

namespace {
// Replies come through the callbacks; the operation handles themselves are not needed.
void release(pa_operation* operation) {
    if (operation) pa_operation_unref(operation);
}
}  // namespace

PulseServerTracker::PulseServerTracker(pa_mainloop_api* api, pa_context* context,
                                       Callbacks callbacks)
    : context_(context), callbacks_(std::move(callbacks)), refresh_(nullptr, FreeTimer{api}) {}

PulseServerTracker::~PulseServerTracker() = default;

void PulseServerTracker::refreshEvery(uint64_t interval) {
    refreshInterval_ = interval;
    refresh_.reset(pa_context_rttime_new(context_, pa_rtclock_now() + interval, onRefresh, this));
}

void PulseServerTracker::onRefresh(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                   void* userdata) {
    auto* self = static_cast<PulseServerTracker*>(userdata);
    release(pa_context_get_sink_input_info_list(self->context_, onInfo, self));
    pa_context_rttime_restart(self->context_, self->refresh_.get(),
                              pa_rtclock_now() + self->refreshInterval_);
}

void PulseServerTracker::start(uint32_t sink, Listed listed) {
    sink_ = sink;
    listed_ = std::move(listed);
    pa_context_set_subscribe_callback(context_, onEvent, this);
    auto mask = PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SINK |
                PA_SUBSCRIPTION_MASK_SERVER;
    release(pa_context_subscribe(context_, pa_subscription_mask_t(mask), nullptr, nullptr));
    querySink();
    release(pa_context_get_sink_input_info_list(context_, onListInfo, this));
}

void PulseServerTracker::followSink(uint32_t sink) {
    sink_ = sink;
    querySink();
}

void PulseServerTracker::querySink() {
    release(pa_context_get_sink_info_by_index(context_, sink_, onSinkInfo, this));
}

void PulseServerTracker::onSinkInfo(pa_context*, const pa_sink_info* info, int eol,
                                    void* userdata) {
    auto* self = static_cast<PulseServerTracker*>(userdata);
    if (eol != 0 || !info || info->index != self->sink_) return;
    float gain = info->mute ? 0.0f : float(pa_sw_volume_to_linear(pa_cvolume_avg(&info->volume)));
    self->callbacks_.sinkGain(gain);
}

void PulseServerTracker::onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t index,
                                 void* userdata) {
    auto* self = static_cast<PulseServerTracker*>(userdata);
    unsigned kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    switch (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
        case PA_SUBSCRIPTION_EVENT_SERVER:
            self->callbacks_.serverChanged();
            return;
        case PA_SUBSCRIPTION_EVENT_SINK:
            if (index == self->sink_ && kind == PA_SUBSCRIPTION_EVENT_CHANGE) self->querySink();
            return;
        case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
            self->inputEvent(kind, index);
            return;
        default:
            return;
    }
}

void PulseServerTracker::inputEvent(unsigned type, uint32_t index) {
    if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
        callbacks_.gone(index);
        return;
    }
    if (type == PA_SUBSCRIPTION_EVENT_NEW) callbacks_.announced(index);
    // Also on changes: a player may be linked to its sink only after it appeared, or move.
    release(pa_context_get_sink_input_info(context_, index, onInfo, this));
}

void PulseServerTracker::onInfo(pa_context*, const pa_sink_input_info* info, int eol,
                                void* userdata) {
    // eol < 0: the input went away before the answer; its removal is reported apart.
    if (eol == 0 && info) static_cast<PulseServerTracker*>(userdata)->report(*info);
}

void PulseServerTracker::onListInfo(pa_context*, const pa_sink_input_info* info, int eol,
                                    void* userdata) {
    auto* self = static_cast<PulseServerTracker*>(userdata);
    if (eol == 0 && info) {
        self->report(*info);
        return;
    }
    if (self->listed_) std::exchange(self->listed_, nullptr)();
}

void PulseServerTracker::report(const pa_sink_input_info& info) {
    callbacks_.seen(Input{info.index, info.sink, playerIdentity(info.proplist)});
}

}  // namespace vx
