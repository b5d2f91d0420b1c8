#pragma once
// Who a sound-server client or player is: its application.id, else (sandboxed
// applications) pipewire.access.portal.app_id, else application.process.binary.
// Empty when it carries none of them.
#include <string>

struct pa_proplist;

namespace vx {

std::string playerIdentity(const pa_proplist* properties);

}  // namespace vx
