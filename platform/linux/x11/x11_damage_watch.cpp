#include "platform/linux/x11/x11_damage_watch.h"

#include "platform/linux/x11/x11_connection.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xdamage.h>
#include <X11/extensions/Xfixes.h>

namespace vx {

X11DamageWatch::X11DamageWatch(const X11Connection& connection, const PixelRect& area)
    : connection_(connection), area_(area) {
    ::Display* display = connection.display();
    int errorBase = 0, fixesEvents = 0, fixesErrors = 0;
    if (!XDamageQueryExtension(display, &eventBase_, &errorBase) ||
        !XFixesQueryExtension(display, &fixesEvents, &fixesErrors))
        return;
    available_ = true;
    const int screen = DefaultScreen(display);
    damage_ = XDamageCreate(display, RootWindow(display, screen), XDamageReportNonEmpty);
    XRectangle rectangle{short(area.x), short(area.y), (unsigned short)area.width,
                         (unsigned short)area.height};
    areaRegion_ = XFixesCreateRegion(display, &rectangle, 1);
    parts_ = XFixesCreateRegion(display, nullptr, 0);
}

X11DamageWatch::~X11DamageWatch() {
    if (!available_ || connection_.lost()) return;
    ::Display* display = connection_.display();
    XDamageDestroy(display, damage_);
    XFixesDestroyRegion(display, areaRegion_);
    XFixesDestroyRegion(display, parts_);
}

bool X11DamageWatch::handle(const _XEvent& event) {
    if (!available_ || event.type != eventBase_ + XDamageNotify) return false;
    pending_ = true;
    return true;
}

void X11DamageWatch::takeDamage(std::vector<PixelRect>& into) {
    pending_ = false;
    if (!available_) return;
    ::Display* display = connection_.display();
    XDamageSubtract(display, damage_, None, parts_);
    XFixesIntersectRegion(display, parts_, parts_, areaRegion_);
    int count = 0;
    XRectangle* rectangles = XFixesFetchRegion(display, parts_, &count);
    if (!rectangles) return;
    for (int i = 0; i < count; ++i) {
        const XRectangle& r = rectangles[i];
        into.push_back(PixelRect{r.x - area_.x, r.y - area_.y, int(r.width), int(r.height)});
    }
    XFree(rectangles);
}

}  // namespace vx
