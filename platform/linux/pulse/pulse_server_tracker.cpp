#include "platform/linux/pulse/pulse_server_tracker.h"

#include <pulse/context.h>
#include <pulse/rtclock.h>
#include <pulse/volume.h>

#include <algorithm>
#include <utility>

#include "platform/linux/pulse/pulse_identity.h"
#include "platform/linux/pulse/pulse_operation.h"

namespace vx {

PulseServerTracker::PulseServerTracker(pa_mainloop_api* api, pa_context* context,
                                       Callbacks callbacks)
    : api_(api), context_(context), callbacks_(std::move(callbacks)) {}

PulseServerTracker::~PulseServerTracker() = default;

void PulseServerTracker::refreshEvery(uint64_t interval) {
    refreshInterval_ = interval;
    refresh_ = PulseTimeEvent(api_, context_, pa_rtclock_now() + interval, onRefresh, this);
}

void PulseServerTracker::onRefresh(pa_mainloop_api*, pa_time_event*, const struct timeval*,
                                   void* userdata) {
    auto* self = static_cast<PulseServerTracker*>(userdata);
    dropOperation(pa_context_get_sink_input_info_list(self->context_, onInfo, self));
    self->refresh_.restart(self->context_, pa_rtclock_now() + self->refreshInterval_);
}

void PulseServerTracker::start(uint32_t sink, Listed listed) {
    sink_ = sink;
    listed_ = std::move(listed);
    pa_context_set_subscribe_callback(context_, onEvent, this);
    auto mask = PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SINK |
                PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_CLIENT;
    dropOperation(pa_context_subscribe(context_, pa_subscription_mask_t(mask), nullptr, nullptr));
    querySink();
    dropOperation(pa_context_get_sink_input_info_list(context_, onListInfo, this));
}

void PulseServerTracker::followSink(uint32_t sink) {
    sink_ = sink;
    querySink();
}

void PulseServerTracker::querySink() {
    dropOperation(pa_context_get_sink_info_by_index(context_, sink_, onSinkInfo, this));
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
        case PA_SUBSCRIPTION_EVENT_CLIENT:
            self->clientEvent(kind, index);
            return;
        default:
            return;
    }
}

void PulseServerTracker::inputEvent(unsigned type, uint32_t index) {
    if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
        // Not to be reported seen after it is gone, should its client's answer come later.
        for (auto& [client, awaited] : awaitedClients_)
            std::erase_if(awaited.inputs,
                          [index](const Input& input) { return input.index == index; });
        callbacks_.gone(index);
        return;
    }
    if (type == PA_SUBSCRIPTION_EVENT_NEW) callbacks_.announced(index);
    // Also on changes: a player may be linked to its sink only after it appeared, or move.
    dropOperation(pa_context_get_sink_input_info(context_, index, onInfo, this));
}

void PulseServerTracker::clientEvent(unsigned type, uint32_t index) {
    // A client that changed its properties is asked again when one of its players is next reported.
    if (type != PA_SUBSCRIPTION_EVENT_NEW) clientIdentities_.erase(index);
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
    self->listEnded_ = true;
    self->maybeListed();
}

// The players present at start() count as seen once their clients have answered too.
void PulseServerTracker::maybeListed() {
    if (listEnded_ && awaitedClients_.empty() && listed_) std::exchange(listed_, nullptr)();
}

void PulseServerTracker::report(const pa_sink_input_info& info) {
    Input input{info.index, info.sink, playerIdentity(info.proplist), {}};
    if (info.client == PA_INVALID_INDEX) {
        callbacks_.seen(input);
        return;
    }
    auto known = clientIdentities_.find(info.client);
    if (known != clientIdentities_.end()) {
        input.clientIdentity = known->second;
        callbacks_.seen(input);
        return;
    }
    auto [entry, asking] = awaitedClients_.try_emplace(info.client);
    AwaitedClient& awaited = entry->second;
    std::erase_if(awaited.inputs,
                  [&input](const Input& other) { return other.index == input.index; });
    awaited.inputs.push_back(std::move(input));
    if (!asking) return;  // already asked
    awaited.tracker = this;
    awaited.client = info.client;
    PulseOperation request(
        pa_context_get_client_info(context_, info.client, onClientInfo, &awaited));
    if (!request) clientAnswered(info.client, nullptr);
}

void PulseServerTracker::onClientInfo(pa_context*, const pa_client_info* info, int eol,
                                      void* userdata) {
    if (eol > 0) return;
    auto* awaited = static_cast<AwaitedClient*>(userdata);
    awaited->tracker->clientAnswered(awaited->client, eol == 0 ? info : nullptr);
}

// info null: the client is gone (or could not be asked); its players are reported without it.
void PulseServerTracker::clientAnswered(uint32_t client, const pa_client_info* info) {
    auto awaited = awaitedClients_.extract(client);
    if (awaited.empty()) return;
    std::string identity;
    if (info) {
        identity = playerIdentity(info->proplist);
        clientIdentities_[client] = identity;
    }
    for (Input& input : awaited.mapped().inputs) {
        input.clientIdentity = identity;
        callbacks_.seen(input);
    }
    maybeListed();
}

}  // namespace vx
