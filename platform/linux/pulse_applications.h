#pragma once
// The sound server's clients that play audio, each named by its identity
// (application.id, else pipewire.access.portal.app_id, else
// application.process.binary). Empty when the server cannot be reached.
#include <vector>

#include "platform/shareable_content.h"

namespace vx {

std::vector<RunningApplication> soundServerApplications();

}  // namespace vx
