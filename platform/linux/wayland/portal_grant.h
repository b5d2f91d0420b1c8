#pragma once
// What the screen-cast portal granted: the monitors' streams and the PipeWire
// connection to read them through. The session bus connection stays open as long
// as the grant lives, since the portal ends the screen cast when its client leaves.
//
// The grant of the process is kept in one slot: the shareable-content query puts
// it there (its streams are the displays), the screen source takes it out. The
// slot is guarded; a grant itself belongs to one thread at a time.
#include <memory>
#include <string>
#include <vector>

#include "platform/linux/wayland/portal_results.h"
#include "platform/linux/wayland/sd_bus_handles.h"
#include "platform/file_descriptor.h"

namespace vx {

class PortalGrant {
public:
    PortalGrant(SdBus bus, std::string session, std::vector<PortalStream> streams,
                FileDescriptor pipewire)
        : bus_(std::move(bus)),
          session_(std::move(session)),
          streams_(std::move(streams)),
          pipewire_(std::move(pipewire)) {}

    // In the portal's order; never empty.
    const std::vector<PortalStream>& streams() const { return streams_; }
    // The PipeWire connection's descriptor; empty once taken.
    FileDescriptor takePipeWire() { return std::move(pipewire_); }

    static void keep(std::shared_ptr<PortalGrant> grant);
    // The kept grant (null when none), leaving the slot empty.
    static std::shared_ptr<PortalGrant> take();
    static bool held();

private:
    SdBus bus_;
    std::string session_;
    std::vector<PortalStream> streams_;
    FileDescriptor pipewire_;
};

}  // namespace vx
