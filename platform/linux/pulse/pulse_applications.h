#pragma once
// The sound server's clients and players (sink inputs), each named by its
// identity (application.id, else pipewire.access.portal.app_id, else
// application.process.binary), each identity once, in the server's order.
// Empty when the server cannot be reached within a second.
// Any thread; blocks while it asks.
#include <vector>

#include "platform/shareable_content.h"

namespace vx {

std::vector<RunningApplication> soundServerApplications();

}  // namespace vx
