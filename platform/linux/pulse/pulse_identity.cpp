#include "platform/linux/pulse/pulse_identity.h"

#include <cstdlib>
#include <mutex>

#include <pulse/proplist.h>

namespace vx {

std::string playerIdentity(const pa_proplist* properties) {
    if (!properties) return {};
    for (const char* key : {PA_PROP_APPLICATION_ID, "pipewire.access.portal.app_id",
                            PA_PROP_APPLICATION_PROCESS_BINARY}) {
        const char* value = pa_proplist_gets(properties, key);
        if (value && *value) return value;
    }
    return {};
}

void quietPulseLogging() {
    static std::once_flag once;
    // A journal or syslog chosen by the user is kept: neither is standard error.
    std::call_once(once, [] { setenv("PULSE_LOG_SYSLOG", "1", 0); });
}

}  // namespace vx
