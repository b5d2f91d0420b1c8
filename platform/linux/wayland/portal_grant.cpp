#include "platform/linux/wayland/portal_grant.h"

#include <mutex>

namespace vx {

namespace {

std::mutex slotMutex;
std::shared_ptr<PortalGrant> slot;

}  // namespace

void PortalGrant::keep(std::shared_ptr<PortalGrant> grant) {
    std::lock_guard<std::mutex> guard(slotMutex);
    slot = std::move(grant);
}

std::shared_ptr<PortalGrant> PortalGrant::take() {
    std::lock_guard<std::mutex> guard(slotMutex);
    return std::move(slot);
}

bool PortalGrant::held() {
    std::lock_guard<std::mutex> guard(slotMutex);
    return slot != nullptr;
}

}  // namespace vx
