#include "platform/shareable_content.h"

#include <thread>

#include "platform/linux/pulse/pulse_applications.h"
#include "platform/linux/wayland/screen_cast_displays.h"
#include "platform/linux/wayland/screen_cast_portal.h"
#include "platform/linux/wayland/wayland_outputs.h"
#include "platform/linux/wayland/wayland_session.h"
#include "platform/linux/x11/x11_monitors.h"

namespace vx {

namespace {

// Video on a Wayland desktop with the screen-cast portal: the monitors the user
// grants. Audio mode asks nobody: X11's monitors where an X server is reachable,
// else the compositor's outputs. Everything else: the X server's monitors.
std::variant<std::vector<Display>, Error> displays() {
    if (isWaylandSession()) {
        if (processCapturesAudio()) return hasX11Display() ? x11Monitors() : waylandOutputs();
        if (ScreenCastPortal::available()) return screenCastDisplays();
    }
    return x11Monitors();
}

}  // namespace

void getShareableContent(bool, bool, std::function<void(ShareableContentResult)> completionHandler) {
    std::thread([completionHandler = std::move(completionHandler)] {
        auto monitors = displays();
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
