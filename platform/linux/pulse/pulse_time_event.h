#pragma once
// A libpulse timer (pa_time_event) owned by its holder: freed through the main
// loop's API that made it when the holder lets go. Move-only; may be empty.
//
// Made, restarted and destroyed on the loop's thread or with its lock held, and
// destroyed before the loop (or after it has stopped, never after it is freed).
#include <cstdint>
#include <memory>

#include <pulse/context.h>
#include <pulse/mainloop-api.h>

namespace vx {

struct PulseTimeEventFree {
    pa_mainloop_api* api = nullptr;
    void operator()(pa_time_event* event) const { api->time_free(event); }
};

class PulseTimeEvent {
public:
    PulseTimeEvent() = default;
    // A timer on context's loop that calls callback(userdata) once at the monotonic
    // time `at` (pa_rtclock_now()'s clock, microseconds). Empty when it could not be made.
    PulseTimeEvent(pa_mainloop_api* api, pa_context* context, uint64_t at,
                   pa_time_event_cb_t callback, void* userdata)
        : event_(pa_context_rttime_new(context, at, callback, userdata), PulseTimeEventFree{api}) {}

    explicit operator bool() const { return bool(event_); }
    pa_time_event* get() const { return event_.get(); }

    // Fires it again at the monotonic time `at`, on context's loop.
    void restart(pa_context* context, uint64_t at) {
        if (event_) pa_context_rttime_restart(context, event_.get(), at);
    }

private:
    std::unique_ptr<pa_time_event, PulseTimeEventFree> event_;
};

}  // namespace vx
