#pragma once
// Follows what the capture depends on, on the control connection: the server's
// default output (when it changes), the volume of the sink being captured, and
// the sink inputs (players): when one appears, what it is (its sink, its own
// identity and its owner client's) each time that becomes known or changes, and
// when it is gone. A player is reported seen only once its owner client's identity
// is known too (the clients' identities are kept until they disconnect).
// PipeWire's server does not always report a player that moves to another sink, so
// the players can also be listed again at intervals (refreshEvery()).
//
// Made and used on the loop thread or with its lock held; lives as long as the
// connection. Callbacks run on the loop thread.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <pulse/introspect.h>
#include <pulse/mainloop-api.h>
#include <pulse/subscribe.h>

#include "platform/linux/pulse/pulse_time_event.h"

namespace vx {

class PulseServerTracker {
public:
    struct Input {
        uint32_t index = 0;
        uint32_t sink = 0;  // PA_INVALID_INDEX while not yet linked to a sink
        std::string identity;        // the player's own
        std::string clientIdentity;  // its owner client's; empty for a player without one
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
    static void onClientInfo(pa_context* context, const pa_client_info* info, int eol,
                             void* userdata);
    void inputEvent(unsigned type, uint32_t index);
    void clientEvent(unsigned type, uint32_t index);
    void report(const pa_sink_input_info& info);
    void clientAnswered(uint32_t client, const pa_client_info* info);
    void querySink();
    void maybeListed();
    static void onRefresh(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when,
                          void* userdata);

    pa_mainloop_api* api_;
    pa_context* context_;
    Callbacks callbacks_;
    uint64_t refreshInterval_ = 0;
    PulseTimeEvent refresh_;
    std::map<uint32_t, std::string> clientIdentities_;     // by client index
    // A client being asked for its identity, and its players reported meanwhile. The
    // request's callback holds its address: an entry lives until the answer came.
    struct AwaitedClient {
        PulseServerTracker* tracker = nullptr;
        uint32_t client = 0;
        std::vector<Input> inputs;
    };
    std::map<uint32_t, AwaitedClient> awaitedClients_;
    uint32_t sink_ = PA_INVALID_INDEX;
    Listed listed_;
    bool listEnded_ = false;
};

}  // namespace vx
