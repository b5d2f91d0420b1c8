#pragma once
// Who a sound-server client or player is: its application.id, else (sandboxed
// applications) pipewire.access.portal.app_id, else application.process.binary.
// Empty when it carries none of them.
#include <string>

struct pa_proplist;

namespace vx {

std::string playerIdentity(const pa_proplist* properties);

// The companion sender application's identity. The audio capture leaves it out
// whenever it plays: it may set it in its own code and connect only after the
// capture started, when no list of the applications read at the start can name it.
inline constexpr const char* kCompanionIdentity = "com.vxcapture.sender";

// Sends libpulse's own log lines to the system log instead of standard error, where
// only this program's lines belong (PULSE_LOG_SYSLOG, read by libpulse at its first
// line). Called before any other use of libpulse; any thread; once is enough.
void quietPulseLogging();

}  // namespace vx
