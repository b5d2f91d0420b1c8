#pragma once
// Follows the sound server's sink inputs (its players) on one connection: tells
// when an input appears, what it is (its sink and its player's identity) each time
// that becomes known or changes, and when it is gone. Also follows the volume of
// one sink, the one the capture records.
//
// Made and used on the loop thread or with its lock held; lives as long as the
// connection. Callbacks run on the loop thread.
#include <cstdint>
#include <functional>
#include <string>

#include <pulse/introspect.h>
#include <pulse/subscribe.h>

namespace vx {

class PulseInputTracker {
public:
    struct Input {
        uint32_t index = 0;
        uint32_t sink = 0;  // PA_INVALID_INDEX while not yet linked to a sink
        std::string identity;
    };
    // A new input, details still unknown.
    using Announced = std::function<void(uint32_t index)>;
    using Seen = std::function<void(const Input& input)>;
    using Gone = std::function<void(uint32_t index)>;
    // The inputs present at start() have all been seen.
    using Listed = std::function<void()>;
    // The sink's volume as a linear gain (the average over its channels), 0 when muted.
    using SinkGain = std::function<void(float gain)>;

    PulseInputTracker(pa_context* context, Announced announced, Seen seen, Gone gone,
                      SinkGain sinkGain);

    PulseInputTracker(const PulseInputTracker&) = delete;
    PulseInputTracker& operator=(const PulseInputTracker&) = delete;

    // Subscribes to the server's sink-input and sink events, reports sink's gain and
    // lists the present inputs.
    void start(uint32_t sink, Listed listed);

private:
    static void onEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                        void* userdata);
    static void onInfo(pa_context* context, const pa_sink_input_info* info, int eol,
                       void* userdata);
    static void onListInfo(pa_context* context, const pa_sink_input_info* info, int eol,
                           void* userdata);
    static void onSinkInfo(pa_context* context, const pa_sink_info* info, int eol,
                           void* userdata);
    void report(const pa_sink_input_info& info);
    void querySink();

    pa_context* context_;
    Announced announced_;
    Seen seen_;
    Gone gone_;
    SinkGain sinkGain_;
    uint32_t sink_ = PA_INVALID_INDEX;
    Listed listed_;
};

}  // namespace vx
