#pragma once
// What the screen-cast portal's answers carry, read from the a{sv} results of a
// Request's Response signal. Keys the program does not use are skipped.
#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vx {

// One granted stream: a PipeWire node and the monitor's place and size on the
// desktop (zero where the portal does not say).
struct PortalStream {
    uint32_t node = 0;
    int x = 0, y = 0, width = 0, height = 0;
};

struct PortalResults {
    std::string sessionHandle;
    std::string restoreToken;
    std::vector<PortalStream> streams;
};

// message is positioned at the a{sv} array. False when it is malformed.
bool readPortalResults(sd_bus_message* message, PortalResults& results);

}  // namespace vx
