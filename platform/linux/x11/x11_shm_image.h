#pragma once
// A shared-memory picture (MIT-SHM) that grabs of a screen rectangle are read into:
// 32-bit pixels, bytes B, G, R, X. The segment is made once and removed from the
// system as soon as the server has attached it, so it cannot outlive the process.
//
// Used on the connection's thread only. The connection must outlive the picture.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <variant>

#include "platform/error.h"

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

    // Reads the width x height rectangle at (x, y) of the root window. One round
    // trip; false when the server refused (the picture then holds stale pixels).
    bool grab(int x, int y);

    uint8_t* data();
    size_t stride() const;
    int width() const { return width_; }
    int height() const { return height_; }

private:
    X11ShmImage(const X11Connection& connection, int width, int height);

    const X11Connection& connection_;
    int width_;
    int height_;
    struct Segment;
    std::unique_ptr<Segment> segment_;
};

}  // namespace vx
