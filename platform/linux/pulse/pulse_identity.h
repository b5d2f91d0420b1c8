#pragma once
// Who a sound-server client or player is: its application.id, else (sandboxed
// applications) pipewire.access.portal.app_id, else application.process.binary.
// Empty when it carries none of them.
#include <string>

#include "platform/companion_identity.h"

struct pa_proplist;

namespace vx {

std::string playerIdentity(const pa_proplist* properties);

// Sends libpulse's own log lines to the system log instead of standard error, where
// only this program's lines belong (PULSE_LOG_SYSLOG, read by libpulse at its first
// line). Called before any other use of libpulse; any thread; once is enough.
void quietPulseLogging();

}  // namespace vx
