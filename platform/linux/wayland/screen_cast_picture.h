#pragma once
// Turns the pixels of one screen-cast buffer (a sourceWidth x sourceHeight picture
// of 32-bit pixels in any layout of pixel_layout.h, in shared memory or a mapped
// DMA-BUF) into a width x height NV12 picture, scaled into `area` with black
// around it. Pixels of a layout other than B, G, R, X are rewritten into a scratch
// picture first, which is allocated once here.
//
// One thread at a time (the PipeWire loop's).
#include <spa/buffer/buffer.h>

#include <memory>
#include <vector>

#include "platform/linux/convert/nv12_converter.h"
#include "platform/linux/wayland/pixel_layout.h"

namespace vx {

class ScreenCastPicture {
public:
    ScreenCastPicture(PixelLayout layout, int sourceWidth, int sourceHeight, int width, int height,
                      PixelRect area);

    // False (picture untouched) when the buffer holds no mapped data or less than a
    // whole picture.
    bool fill(const spa_buffer& buffer, ImageBuffer& picture);

private:
    PixelLayout layout_;
    int sourceWidth_;
    int sourceHeight_;
    Nv12Converter converter_;
    std::vector<uint8_t> scratch_;  // empty for B, G, R, X
};

}  // namespace vx
