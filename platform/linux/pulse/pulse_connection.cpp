#include "platform/linux/pulse/pulse_connection.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/subscribe.h>

#include "platform/linux/pulse/pulse_identity.h"

namespace vx {

void PulseConnection::Free::operator()(pa_context* context) const {
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
}

namespace {

pa_context* newContext(pa_mainloop_api* api, const char* clientName) {
    quietPulseLogging();
    return pa_context_new(api, clientName);
}

}  // namespace

PulseConnection::PulseConnection(pa_mainloop_api* api, const char* clientName)
    : context_(newContext(api, clientName)) {}

PulseConnection::~PulseConnection() = default;

std::optional<Error> PulseConnection::connect(Ready ready, Ended ended) {
    if (!context_) return Error{PA_ERR_INTERNAL, "cannot connect to the sound server: out of memory"};
    ready_ = std::move(ready);
    ended_ = std::move(ended);
    pa_context_set_state_callback(context_.get(), onState, this);
    if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        pa_context_set_state_callback(context_.get(), nullptr, nullptr);
        return error("cannot connect to the sound server: ");
    }
    return std::nullopt;
}

Error PulseConnection::error(const char* what) const {
    int code = pa_context_errno(context_.get());
    if (code == PA_OK) code = PA_ERR_CONNECTIONTERMINATED;
    return Error{code, std::string(what) + pa_strerror(code)};
}

void PulseConnection::onState(pa_context* context, void* userdata) {
    auto* self = static_cast<PulseConnection*>(userdata);
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY:
            if (self->up_ || self->over_) return;
            self->up_ = true;
            if (self->ready_) self->ready_();
            return;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED: {
            if (self->over_) return;
            self->over_ = true;
            Error error = self->error(self->up_ ? "lost the connection to the sound server: "
                                                : "cannot connect to the sound server: ");
            if (self->ended_) self->ended_(error);
            return;
        }
        default:
            return;
    }
}

}  // namespace vx
