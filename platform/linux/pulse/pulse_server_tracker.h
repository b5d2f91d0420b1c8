#pragma once
// Follows what the capture depends on, on the control connection: the server's
// default output (when it changes), the volume of the sink being captured, and
// the sink inputs (players): when one appears, what it is (its sink and its
// player's identity) each time that becomes known or changes, and when it is gone.
// PipeWire's server does not always report a player that moves to another sink, so
// the players can also be listed again at intervals (refreshEvery()).
//
// Made and used on the loop thread or with its lock held; lives as long as the
// connection. Callbacks run on the loop thread.
#include <cstdint>
#include <functional>
#include <string>

#include <memory>

#include <pulse/introspect.h>
#include <pulse/mainloop-api.h>
#include <pulse/subscribe.h>

namespace vx {

class PulseServerTracker {
public:
    struct Input {
        uint32_t index = 0;
        uint32_t sink = 0;  // PA_INVALID_INDEX while not yet linked to a sink
        std::string identity;
    };
    struct Callbacks {
        // A new input, details still unknown.
        std::function<void(uint32_t index)> announced;
        std::function<void(const Input& input)> seen;
        std::function<void(uint32_t index)> gone;
        // The followed sink's volume as a linear gain (the average over its channels), 0 when muted.
        std::function<void(float gain)> sinkGain;
        // The server's settings changed; the default output may be another one now.
        std::function<void()> serverChanged;
    };
    // The inputs present at start() have all been seen.
    using Listed = std::function<void()>;

    PulseServerTracker(pa_mainloop_api* api, pa_context* context, Callbacks callbacks);
    ~PulseServerTracker();

    PulseServerTracker(const PulseServerTracker&) = delete;
    PulseServerTracker& operator=(const PulseServerTracker&) = delete;

    // Subscribes to the server's events, follows sink's volume and lists the present inputs.
    void start(uint32_t sink, Listed listed);
    // Follows another sink's volume from now on.
    void followSink(uint32_t sink);
    // Lists the players again every interval microseconds (each reported as seen).
    void refreshEvery(uint64_t interval);

private:
    static void onEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                        void* userdata);
    static void onInfo(pa_context* context, const pa_sink_input_info* info, int eol,
                       void* userdata);
    static void onListInfo(pa_context* context, const pa_sink_input_info* info, int eol,
                           void* userdata);
    static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol,
                           void* userdata);
    void inputEvent(unsigned type, uint32_t index);
    void report(const pa_sink_input_info& info);
    void querySink();
    static void onRefresh(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when,
                          void* userdata);

    struct FreeTimer {
        pa_mainloop_api* api;
        void operator()(pa_time_event* event) const { api->time_free(event); }
    };

    pa_context* context_;
    Callbacks callbacks_;
    uint64_t refreshInterval_ = 0;
    std::unique_ptr<pa_time_event, FreeTimer> refresh_;
    uint32_t sink_ = PA_INVALID_INDEX;
    Listed listed_;
};

}  // namespace vx
