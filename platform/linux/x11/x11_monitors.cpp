#include "platform/linux/x11/x11_monitors.h"

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/linux/x11/x11_connection.h"
#include "platform/linux/x11/x11_deadline.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace vx {

namespace {

struct MonitorsFree {
    void operator()(XRRMonitorInfo* monitors) const { XRRFreeMonitors(monitors); }
};

bool hasMonitors(::Display* display) {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    return XRRQueryExtension(display, &eventBase, &errorBase) &&
           XRRQueryVersion(display, &major, &minor) && (major > 1 || (major == 1 && minor >= 5));
}

std::variant<std::vector<Display>, Error> readMonitors() {
    auto opened = X11Connection::open();
    if (auto* error = std::get_if<Error>(&opened)) return *error;
    const auto& connection = std::get<std::unique_ptr<X11Connection>>(opened);
    ::Display* x = connection->display();
    const int screen = DefaultScreen(x);

    std::vector<Display> displays;
    if (!hasMonitors(x)) {
        // Without RandR 1.5 the whole screen is the one monitor.
        displays.push_back(Display{0, DisplayWidth(x, screen), DisplayHeight(x, screen), 0, 0});
        return displays;
    }
    int count = 0;
    // All monitors, active or not, as `xrandr --listmonitors` lists and numbers them.
    std::unique_ptr<XRRMonitorInfo, MonitorsFree> monitors(
        XRRGetMonitors(x, RootWindow(x, screen), False, &count));
    if (connection->lost()) return Error{kDisplayConnectionFailed, "lost the connection to X display \"" + connection->name() + "\""};
    for (int i = 0; monitors && i < count; ++i) {
        const XRRMonitorInfo& m = monitors.get()[i];
        displays.push_back(Display{uint32_t(i), m.width, m.height, m.x, m.y});
    }
    return displays;
}

}  // namespace

std::variant<std::vector<Display>, Error> x11Monitors() {
    const char* variable = std::getenv("DISPLAY");
    const std::string name = variable ? variable : "";
    auto answer = answerWithin(kX11AnswerDeadline, [] { return readMonitors(); });
    if (!answer) return Error{kDisplayConnectionFailed, x11DidNotAnswer(name)};
    return std::move(*answer);
}

}  // namespace vx
