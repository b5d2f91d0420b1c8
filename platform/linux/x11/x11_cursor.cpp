#include "platform/linux/x11/x11_cursor.h"

#include <algorithm>

#include "platform/linux/x11/x11_connection.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xfixes.h>

namespace vx {

struct X11Cursor::Image {
    XFixesCursorImage* image = nullptr;  // Xlib's allocation, pixels included
    ~Image() {
        if (image) XFree(image);
    }
};

X11Cursor::X11Cursor(const X11Connection& connection)
    : connection_(connection), image_(std::make_unique<Image>()) {
    ::Display* display = connection.display();
    int errorBase = 0;
    if (!XFixesQueryExtension(display, &eventBase_, &errorBase)) return;
    available_ = true;
    XFixesSelectCursorInput(display, DefaultRootWindow(display), XFixesDisplayCursorNotifyMask);

    // Raw motion reaches a client that asks on the root window from XInput 2.1 on.
    int opcode = 0, firstEvent = 0, firstError = 0, major = 2, minor = 1;
    if (!XQueryExtension(display, "XInputExtension", &opcode, &firstEvent, &firstError) ||
        XIQueryVersion(display, &major, &minor) != Success || major * 100 + minor < 201)
        return;
    motionOpcode_ = opcode;
}

void X11Cursor::reportMotion(bool on) {
    if (motionOpcode_ < 0 || on == reporting_) return;
    reporting_ = on;
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    if (on) XISetMask(bits, XI_RawMotion);
    XIEventMask mask{XIAllMasterDevices, int(sizeof bits), bits};
    XISelectEvents(connection_.display(), DefaultRootWindow(connection_.display()), &mask, 1);
}

X11Cursor::~X11Cursor() = default;

bool X11Cursor::handle(const _XEvent& event) {
    if (!available_) return false;
    if (event.type == eventBase_ + XFixesCursorNotify) {
        shapeChanged_ = true;
        return true;
    }
    if (reporting_ && event.type == GenericEvent && event.xcookie.extension == motionOpcode_ &&
        event.xcookie.evtype == XI_RawMotion) {
        moved_ = true;  // the event's data, never fetched, goes with the next event
        return true;
    }
    return false;
}

uint64_t X11Cursor::nextCheck(uint64_t frameInterval) const {
    if (shapeChanged_ || moved_) return 0;
    return lastCheck_ + (reporting_ ? kSlowCheck : frameInterval);
}

bool X11Cursor::update(const PixelRect& area, uint64_t now) {
    if (!available_) return false;
    moved_ = false;
    lastCheck_ = now;
    ::Display* display = connection_.display();
    bool newShape = false;
    if (shapeChanged_) {
        XFixesCursorImage* fetched = XFixesGetCursorImage(display);
        if (fetched) {
            if (image_->image) XFree(image_->image);
            image_->image = fetched;
            newShape = true;
        }
        shapeChanged_ = false;
    }
    Window root, child;
    int rootX = 0, rootY = 0, windowX = 0, windowY = 0;
    unsigned int buttons = 0;
    onScreen_ = XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY,
                              &windowX, &windowY, &buttons);
    x_ = rootX;
    y_ = rootY;
    const PixelRect visible = intersection(footprint(), area);
    const bool changed = !(visible == shown_) || (newShape && visible.width > 0);
    shown_ = visible;
    return changed;
}

PixelRect X11Cursor::footprint() const {
    const XFixesCursorImage* image = image_->image;
    if (!image || !onScreen_) return PixelRect{};
    return PixelRect{x_ - image->xhot, y_ - image->yhot, image->width, image->height};
}

void X11Cursor::draw(uint8_t* picture, size_t stride, const PixelRect& area) const {
    const XFixesCursorImage* image = image_->image;
    const PixelRect visible = intersection(footprint(), area);
    if (!image || visible.width == 0) return;
    const PixelRect whole = footprint();
    for (int y = visible.y; y < visible.y + visible.height; ++y) {
        const unsigned long* source = image->pixels + size_t(y - whole.y) * image->width;
        uint8_t* target = picture + stride * size_t(y - area.y) + 4 * size_t(visible.x - area.x);
        for (int x = visible.x; x < visible.x + visible.width; ++x, target += 4) {
            // Premultiplied ARGB in the low 32 bits.
            const uint32_t pixel = uint32_t(source[x - whole.x]);
            const uint32_t alpha = pixel >> 24;
            if (alpha == 0) continue;
            for (int c = 0; c < 3; ++c) {
                uint32_t over = (pixel >> (8 * c)) & 0xff;
                target[c] =
                    uint8_t(std::min<uint32_t>(255, over + target[c] * (255 - alpha) / 255));
            }
        }
    }
}

}  // namespace vx
