#pragma once
// The pointer's image and position, for drawing it into captured pictures (the X
// server leaves it out of screen grabs). The image is fetched again only after the
// server reports a new cursor shape; the position is asked for on each update().
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

    // Takes a cursor-shape notice; false for any other event.
    bool handle(const _XEvent& event);

    // Reads the position (one round trip) and, after a shape notice, the image. True
    // when what area (root-window coordinates) shows of the cursor has changed since
    // the previous update().
    bool update(const PixelRect& area);

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
    struct Image;
    std::unique_ptr<Image> image_;
    int x_ = 0, y_ = 0;  // the hot spot
    bool onScreen_ = false;
    PixelRect shown_;  // what the previous update() saw inside the area
};

}  // namespace vx
