#pragma once
// This user's running processes, each named by the identity its sound-server
// connections will carry once it connects (see pulse_identity.h): the
// application.id its environment gives libpulse (PULSE_PROP or
// PULSE_PROP_application.id), else its Flatpak application id (FLATPAK_ID, which
// becomes pipewire.access.portal.app_id), else the name of its binary. So an
// application can be named before it has made any sound. Each identity once; this
// process itself is left out. Any thread; reads /proc, never waits on a server.
#include <string>
#include <vector>

#include "platform/running_applications.h"

namespace vx {

std::vector<RunningApplication> processApplications();

// The identity a process with this environment (NUL-separated "NAME=value"
// entries, as in /proc/<pid>/environ) and binary (may be empty) will carry.
std::string processIdentity(const std::string& environment, const std::string& binary);

}  // namespace vx
