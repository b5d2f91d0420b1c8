#pragma once
// One connection to the sound server (a libpulse context) on a main loop: the
// server named by PULSE_SERVER, else the user's own. A server that is not running
// is never spawned.
//
// Made, used and destroyed on the loop's thread or with its lock held, never
// inside one of its own callbacks. Callbacks run on the loop thread.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"

struct pa_context;
struct pa_mainloop_api;

namespace vx {

class PulseConnection {
public:
    using Ready = std::function<void()>;
    // code: libpulse's error number; description: what happened, in a whole sentence.
    using Ended = std::function<void(const Error&)>;

    PulseConnection(pa_mainloop_api* api, const char* clientName);
    ~PulseConnection();

    PulseConnection(const PulseConnection&) = delete;
    PulseConnection& operator=(const PulseConnection&) = delete;

    // Starts connecting. ready runs once the connection is up; ended runs at most
    // once, when connecting fails ("cannot connect to the sound server: ...") or an
    // established connection is lost ("lost the connection to the sound server:
    // ..."). An error here means nothing was started and no callback will run.
    std::optional<Error> connect(Ready ready, Ended ended);

    // Null only if the context could not be made (connect() then reports it).
    pa_context* context() const { return context_.get(); }

private:
    struct Free {
        void operator()(pa_context* context) const;
    };
    static void onState(pa_context* context, void* userdata);
    Error error(const char* what) const;

    std::unique_ptr<pa_context, Free> context_;
    Ready ready_;
    Ended ended_;
    bool up_ = false;
    bool over_ = false;
};

}  // namespace vx
