#include "platform/shareable_content.h"

#include <thread>

#include "platform/linux/pulse/pulse_applications.h"
#include "platform/linux/x11/x11_monitors.h"

namespace vx {

void getShareableContent(bool, bool, std::function<void(ShareableContentResult)> completionHandler) {
    std::thread([completionHandler = std::move(completionHandler)] {
        auto monitors = x11Monitors();
        if (auto* error = std::get_if<Error>(&monitors)) {
            completionHandler(*error);
            return;
        }
        ShareableContent content;
        content.displays = std::get<std::vector<Display>>(std::move(monitors));
        content.applications = soundServerApplications();
        completionHandler(std::move(content));
    }).detach();
}

}  // namespace vx
