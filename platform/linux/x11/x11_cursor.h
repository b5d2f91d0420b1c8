#pragma once
// The pointer's image and position, for drawing it into captured pictures (the X
// server leaves it out of screen grabs). The image is fetched again only after the
// server reports a new cursor shape. The position is asked for after the server
// reports the pointer moving (XInput 2 raw motion), and every kSlowCheck besides, as
// a pointer warped by a program is not reported; a server without XInput 2.1 has it
// asked for every frame.
//
// Used on the connection's thread only. The connection must outlive the cursor.
// Without the XFIXES extension there is no cursor to draw.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/linux/convert/pixel_rect.h"

union _XEvent;

namespace vx {

class X11Connection;

class X11Cursor {
public:
    explicit X11Cursor(const X11Connection& connection);
    ~X11Cursor();

    X11Cursor(const X11Cursor&) = delete;
    X11Cursor& operator=(const X11Cursor&) = delete;

    static constexpr uint64_t kSlowCheck = 100000000;  // nanoseconds

    // Takes a cursor-shape or pointer-motion notice; false for any other event.
    bool handle(const _XEvent& event);

    // Whether the server reports pointer motion to this connection: on while frames are
    // wanted, off otherwise, so that a moving pointer wakes nobody when nobody reads.
    void reportMotion(bool on);

    // When the position is next to be asked for, on the clock of update()'s `now`:
    // at once after a notice, else a check interval after the last update().
    uint64_t nextCheck(uint64_t frameInterval) const;

    // Reads the position (one round trip) and, after a shape notice, the image. True
    // when what area (root-window coordinates) shows of the cursor has changed since
    // the previous update(). now: nanoseconds on a steady clock.
    bool update(const PixelRect& area, uint64_t now);

    // What the last update() found of the cursor inside the area, in root-window
    // coordinates; empty when none of it is there.
    const PixelRect& shown() const { return shown_; }

    // Blends the cursor over picture, a BGRA picture of area.
    void draw(uint8_t* picture, size_t stride, const PixelRect& area) const;

private:
    PixelRect footprint() const;  // in root-window coordinates; empty when hidden

    const X11Connection& connection_;
    bool available_ = false;
    int eventBase_ = 0;
    bool shapeChanged_ = true;
    int motionOpcode_ = -1;  // XInput's, when the server can report pointer motion
    bool reporting_ = false;
    bool moved_ = false;
    uint64_t lastCheck_ = 0;
    struct Image;
    std::unique_ptr<Image> image_;
    int x_ = 0, y_ = 0;  // the hot spot
    bool onScreen_ = false;
    PixelRect shown_;  // what the previous update() saw inside the area
};

}  // namespace vx
