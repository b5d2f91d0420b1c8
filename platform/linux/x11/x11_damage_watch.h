#pragma once
// Where the screen changed inside one area, from the X server's DAMAGE reports on the
// root window. The server sends a notice only when damage appears on a clean root
// window and keeps adding to its region until it is taken, so a still screen costs
// nothing, and a screen that nobody watches costs nothing either as long as the
// damage is left where it is.
//
// Used on the connection's thread only. The connection must outlive the watch.
// Without the DAMAGE extension (available() false) the watch knows nothing: the
// capture then has to find changes itself, by comparing grabs.
#include <cstdint>
#include <vector>

#include "platform/linux/convert/pixel_rect.h"

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

    bool available() const { return available_; }

    // Takes a damage notice of ours; false for any other event.
    bool handle(const _XEvent& event);

    // Damage was reported (anywhere) since the last takeDamage(); true at first.
    bool pending() const { return pending_; }

    // Clears the damage reported so far and appends the parts of it that lie in the
    // area to `into`, relative to the area's top-left corner. One round trip. Without
    // DAMAGE nothing is appended.
    void takeDamage(std::vector<PixelRect>& into);

private:
    const X11Connection& connection_;
    PixelRect area_;
    bool available_ = false;
    int eventBase_ = 0;
    unsigned long damage_ = 0;      // Damage
    unsigned long areaRegion_ = 0;  // XserverRegion
    unsigned long parts_ = 0;       // XserverRegion
    bool pending_ = true;
};

}  // namespace vx
