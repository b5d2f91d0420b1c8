#pragma once
// A shared-memory copy (MIT-SHM) of one screen rectangle, brought up to date part by
// part: 32-bit pixels, bytes B, G, R, X. Behind the copy the segment holds a scratch
// picture of the same size, where parts narrower than the copy land first (the server
// writes every grab as rows of its own width). The segment is made once and removed
// from the system as soon as the server has attached it, so it cannot outlive the
// process.
//
// Used on the connection's thread only. The connection must outlive the picture.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <variant>

#include "platform/error.h"
#include "platform/linux/convert/pixel_rect.h"

namespace vx {

class X11Connection;

class X11ShmImage {
public:
    // An error when the server has no MIT-SHM or its screen is not 24/32-bit true
    // colour with red, green, blue in bytes 2, 1, 0.
    static std::variant<std::unique_ptr<X11ShmImage>, Error> create(
        const X11Connection& connection, int width, int height);
    ~X11ShmImage();

    X11ShmImage(const X11ShmImage&) = delete;
    X11ShmImage& operator=(const X11ShmImage&) = delete;

    // Reads `part` (relative to the copy's top-left corner at (x, y) of the root
    // window, inside width x height) into the copy at the same place. One round trip;
    // false when the server refused (that part then holds stale pixels).
    bool grab(int x, int y, const PixelRect& part);

    // Reads the whole width x height rectangle at (x, y) of the root window into the
    // scratch picture, leaving the copy alone. One round trip; false when refused.
    bool grabScratch(int x, int y);

    uint8_t* data();
    const uint8_t* scratch() const;
    size_t stride() const;
    int width() const { return width_; }
    int height() const { return height_; }

private:
    X11ShmImage(const X11Connection& connection, int width, int height);
    // width x height pixels at (x, y) of the root window, as rows of width pixels at into.
    bool read(int x, int y, int width, int height, uint8_t* into);

    const X11Connection& connection_;
    int width_;
    int height_;
    struct Segment;
    std::unique_ptr<Segment> segment_;
};

}  // namespace vx
