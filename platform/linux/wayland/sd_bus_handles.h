#pragma once
// Owning handles for the sd-bus objects the portal conversation uses. Each drops
// its reference when it goes; none may be shared between threads.
#include <systemd/sd-bus.h>

#include <memory>

namespace vx {

struct SdBusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct SdBusMessageUnref {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct SdBusSlotUnref {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};

using SdBus = std::unique_ptr<sd_bus, SdBusUnref>;
using SdBusMessage = std::unique_ptr<sd_bus_message, SdBusMessageUnref>;
using SdBusSlot = std::unique_ptr<sd_bus_slot, SdBusSlotUnref>;

// An sd_bus_error that frees what it holds.
class SdBusError {
public:
    SdBusError() = default;
    ~SdBusError() { sd_bus_error_free(&error_); }
    SdBusError(const SdBusError&) = delete;
    SdBusError& operator=(const SdBusError&) = delete;

    sd_bus_error* get() { return &error_; }
    bool isSet() const { return sd_bus_error_is_set(&error_); }
    const char* name() const { return error_.name ? error_.name : ""; }
    const char* message() const { return error_.message ? error_.message : ""; }

private:
    sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

}  // namespace vx
