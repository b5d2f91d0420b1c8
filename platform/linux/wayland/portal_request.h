#pragma once
// One pending request of the desktop portal: the portal answers a call that
// carries a handle_token through the Response signal of the object
// /org/freedesktop/portal/desktop/request/SENDER/TOKEN. The request subscribes
// to that signal before the call is made (so the answer cannot be missed) and
// waits for it with a deadline.
//
// Lives on the thread that owns the bus; not movable (the subscription points at it).
#include <cstdint>
#include <string>

#include "platform/linux/wayland/portal_results.h"
#include "platform/linux/wayland/sd_bus_handles.h"

namespace vx {

class PortalRequest {
public:
    // A fresh handle token for a call on bus; subscribe() with it before calling.
    PortalRequest(sd_bus* bus, const char* purpose);
    PortalRequest(const PortalRequest&) = delete;
    PortalRequest& operator=(const PortalRequest&) = delete;

    const std::string& token() const { return token_; }
    bool subscribe();

    // Processes the bus until the Response arrives; false when the deadline passes
    // or the bus fails first.
    bool wait(uint64_t timeoutMicroseconds);

    // The Response's code (0 granted, 1 cancelled by the user, 2 other failure) and
    // its results; valid after wait() returned true.
    uint32_t code() const { return code_; }
    const PortalResults& results() const { return results_; }

private:
    static int onResponse(sd_bus_message* message, void* self, sd_bus_error*);

    sd_bus* bus_;
    std::string token_;
    SdBusSlot slot_;
    bool answered_ = false;
    uint32_t code_ = 2;
    PortalResults results_;
};

}  // namespace vx
