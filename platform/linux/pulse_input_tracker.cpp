#include "platform/linux/pulse_input_tracker.h"

#include <pulse/context.h>
#include <pulse/operation.h>
#include <pulse/volume.h>

#include <utility>

#include "platform/linux/pulse_identity.h"

namespace vx {

namespace {
// Replies come through the callbacks; the operation handles themselves are not needed.
void release(pa_operation* operation) {
    if (operation) pa_operation_unref(operation);
}
}  // namespace

PulseInputTracker::PulseInputTracker(pa_context* context, Announced announced, Seen seen,
                                     Gone gone, SinkGain sinkGain)
    : context_(context),
      announced_(std::move(announced)),
      seen_(std::move(seen)),
      gone_(std::move(gone)),
      sinkGain_(std::move(sinkGain)) {}

void PulseInputTracker::start(uint32_t sink, Listed listed) {
    sink_ = sink;
    listed_ = std::move(listed);
    pa_context_set_subscribe_callback(context_, onEvent, this);
    release(pa_context_subscribe(
        context_, pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SINK),
        nullptr, nullptr));
    querySink();
    release(pa_context_get_sink_input_info_list(context_, onListInfo, this));
}

void PulseInputTracker::querySink() {
    release(pa_context_get_sink_info_by_index(context_, sink_, onSinkInfo, this));
}

void PulseInputTracker::onSinkInfo(pa_context*, const pa_sink_info* info, int eol,
                                   void* userdata) {
    if (eol != 0 || !info) return;
    auto* self = static_cast<PulseInputTracker*>(userdata);
    float gain = info->mute ? 0.0f : float(pa_sw_volume_to_linear(pa_cvolume_avg(&info->volume)));
    self->sinkGain_(gain);
}

void PulseInputTracker::onEvent(pa_context* context, pa_subscription_event_type_t type,
                                uint32_t index, void* userdata) {
    auto* self = static_cast<PulseInputTracker*>(userdata);
    auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SINK) {
        if (index == self->sink_ && (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) ==
                                        PA_SUBSCRIPTION_EVENT_CHANGE)
            self->querySink();
        return;
    }
    if (facility != PA_SUBSCRIPTION_EVENT_SINK_INPUT) return;
    switch (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) {
        case PA_SUBSCRIPTION_EVENT_REMOVE:
            self->gone_(index);
            return;
        case PA_SUBSCRIPTION_EVENT_NEW:
            self->announced_(index);
            [[fallthrough]];
        default:
            // Also on changes: a player may be linked to its sink only after it appeared.
            release(pa_context_get_sink_input_info(context, index, onInfo, self));
            return;
    }
}

void PulseInputTracker::onInfo(pa_context*, const pa_sink_input_info* info, int eol,
                               void* userdata) {
    // eol < 0: the input went away before the answer; its removal is reported apart.
    if (eol == 0 && info) static_cast<PulseInputTracker*>(userdata)->report(*info);
}

void PulseInputTracker::onListInfo(pa_context*, const pa_sink_input_info* info, int eol,
                                   void* userdata) {
    auto* self = static_cast<PulseInputTracker*>(userdata);
    if (eol == 0 && info) {
        self->report(*info);
        return;
    }
    if (self->listed_) std::exchange(self->listed_, nullptr)();
}

void PulseInputTracker::report(const pa_sink_input_info& info) {
    seen_(Input{info.index, info.sink, playerIdentity(info.proplist)});
}

}  // namespace vx
