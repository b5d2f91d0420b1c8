#pragma once
// Tells whether the screen changed inside one area, from the X server's DAMAGE
// reports on the root window. The server reports only when damage appears on a
// clean root window, so a still screen costs nothing and a busy one at most one
// notice per takeChange().
//
// Used on the connection's thread only. The connection must outlive the watch.
// Without the DAMAGE extension every takeChange() reports a change.
#include <cstdint>

#include "platform/linux/convert/nv12_converter.h"

union _XEvent;

namespace vx {

class X11Connection;

class X11DamageWatch {
public:
    // area in root-window coordinates.
    X11DamageWatch(const X11Connection& connection, const PixelRect& area);
    ~X11DamageWatch();

    X11DamageWatch(const X11DamageWatch&) = delete;
    X11DamageWatch& operator=(const X11DamageWatch&) = delete;

    // Takes a damage notice of ours; false for any other event.
    bool handle(const _XEvent& event);

    // Damage was reported (anywhere) since the last takeChange(); true at first.
    bool pending() const { return pending_; }

    // Clears the damage reported so far. True when any of it lay in the area; a round
    // trip when the area is not the whole root window.
    bool takeChange();

private:
    const X11Connection& connection_;
    PixelRect area_;
    bool wholeScreen_ = false;
    bool available_ = false;
    int eventBase_ = 0;
    unsigned long damage_ = 0;      // Damage
    unsigned long areaRegion_ = 0;  // XserverRegion
    unsigned long parts_ = 0;       // XserverRegion
    bool pending_ = true;
};

}  // namespace vx
