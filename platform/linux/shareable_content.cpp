#include "platform/shareable_content.h"

#include <set>
#include <string>
#include <thread>

#include "platform/linux/pulse/pulse_applications.h"
#include "platform/linux/pulse/pulse_process_applications.h"
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
        std::optional<Error> silent;  // a portal that is there but does not answer
        if (ScreenCastPortal::available(&silent)) return screenCastDisplays();
        if (silent) return *silent;
    }
    return x11Monitors();
}

// The sound server's clients and players, then this user's processes under the
// identity they will carry on it: an application is named whether or not it has
// made a sound yet. The sound server may be slow to answer: it is asked only when
// the list is read (audio mode), never for the displays alone (video mode).
std::vector<RunningApplication> listApplications() {
    std::vector<RunningApplication> applications = soundServerApplications();
    std::set<std::string> known;
    for (const RunningApplication& application : applications)
        known.insert(application.bundleIdentifier);
    for (RunningApplication& application : processApplications())
        if (known.insert(application.bundleIdentifier).second)
            applications.push_back(std::move(application));
    return applications;
}

}  // namespace

void getShareableContent(bool, bool,
                         std::function<void(ShareableContentResult)> completionHandler) {
    std::thread([completionHandler = std::move(completionHandler)] {
        auto monitors = displays();
        if (auto* error = std::get_if<Error>(&monitors)) {
            completionHandler(*error);
            return;
        }
        ShareableContent content;
        content.displays = std::get<std::vector<Display>>(std::move(monitors));
        content.applications = RunningApplications(RunningApplications::Lister(listApplications));
        completionHandler(std::move(content));
    }).detach();
}

}  // namespace vx
