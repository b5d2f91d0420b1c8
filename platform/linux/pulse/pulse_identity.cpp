#include "platform/linux/pulse/pulse_identity.h"

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

}  // namespace vx
