#include "platform/linux/wayland/portal_request.h"

#include <time.h>
#include <unistd.h>

#include <atomic>

namespace vx {

namespace {

uint64_t monotonicMicroseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000u + uint64_t(now.tv_nsec) / 1000u;
}

std::atomic<unsigned> counter{0};

}  // namespace

PortalRequest::PortalRequest(sd_bus* bus, const char* purpose)
    : bus_(bus),
      token_(std::string("vx_capture_") + purpose + "_" + std::to_string(getpid()) + "_" +
             std::to_string(++counter)) {}

bool PortalRequest::subscribe() {
    const char* unique = nullptr;
    if (sd_bus_get_unique_name(bus_, &unique) < 0 || !unique) return false;
    std::string sender = unique[0] == ':' ? unique + 1 : unique;
    for (char& c : sender)
        if (c == '.') c = '_';
    const std::string path = "/org/freedesktop/portal/desktop/request/" + sender + "/" + token_;
    sd_bus_slot* slot = nullptr;
    if (sd_bus_match_signal(bus_, &slot, nullptr, path.c_str(), "org.freedesktop.portal.Request",
                            "Response", &PortalRequest::onResponse, this) < 0)
        return false;
    slot_.reset(slot);
    return true;
}

int PortalRequest::onResponse(sd_bus_message* message, void* data, sd_bus_error*) {
    auto* self = static_cast<PortalRequest*>(data);
    if (self->answered_) return 0;
    self->answered_ = true;
    uint32_t code = 2;
    if (sd_bus_message_read(message, "u", &code) < 0 ||
        !readPortalResults(message, self->results_)) {
        self->code_ = 2;
        return 0;
    }
    self->code_ = code;
    return 0;
}

bool PortalRequest::wait(uint64_t timeoutMicroseconds) {
    const uint64_t deadline = monotonicMicroseconds() + timeoutMicroseconds;
    while (!answered_) {
        const int processed = sd_bus_process(bus_, nullptr);
        if (processed < 0) return false;
        if (processed > 0) continue;
        const uint64_t now = monotonicMicroseconds();
        if (now >= deadline) return false;
        if (sd_bus_wait(bus_, deadline - now) < 0) return false;
    }
    slot_.reset();
    return true;
}

}  // namespace vx
