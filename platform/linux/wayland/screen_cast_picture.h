#pragma once
// Turns the pixels of one screen-cast buffer (a sourceWidth x sourceHeight picture
// of 32-bit pixels in any layout of pixel_layout.h, in shared memory or a mapped
// DMA-BUF) into a width x height NV12 picture, scaled into `area` with black
// around it. Pixels of a layout other than B, G, R, X are rewritten into a scratch
// picture first, which is allocated once here.
//
// Pictures are numbered and carry the map of the macroblocks they changed, as the
// X11 screen's do (picture_updater.h): a pooled picture that holds an older frame is
// brought up to date by converting only what changed since, and a still screen's
// repeat is known to the encoder as one. Numbers continue from `numbered` (the last
// number an earlier ScreenCastPicture gave, when the stream changed its size): the
// first frame here converts every picture whole and marks every macroblock.
//
// One thread at a time (the PipeWire loop's).
#include <spa/buffer/buffer.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/linux/convert/picture_updater.h"
#include "platform/linux/wayland/pixel_layout.h"

namespace vx {

class ScreenCastPicture {
public:
    ScreenCastPicture(PixelLayout layout, int sourceWidth, int sourceHeight, int width, int height,
                      PixelRect area, uint64_t numbered = 0);

    // changed: the parts of the source (its pixels) that changed since the previous
    // fill; everything: all of it may have (the first fill always counts as such).
    // False (picture untouched, no number used) when the buffer holds no mapped data
    // or less than a whole picture, or picture has not the output size.
    bool fill(const spa_buffer& buffer, const std::vector<PixelRect>& changed, bool everything,
              ImageBuffer& picture);
    bool fill(const spa_buffer& buffer, ImageBuffer& picture) {
        return fill(buffer, {}, true, picture);
    }

    // The number of the last picture filled; `numbered` before the first.
    uint64_t sequence() const { return numbered_ + updater_.sequence(); }
    int sourceWidth() const { return sourceWidth_; }
    int sourceHeight() const { return sourceHeight_; }

private:
    void rewriteRows(const uint8_t* pixels, size_t stride, const std::vector<PixelRect>& changed,
                     bool everything);

    PixelLayout layout_;
    int sourceWidth_;
    int sourceHeight_;
    uint64_t numbered_;
    PictureUpdater updater_;
    std::vector<uint8_t> scratch_;  // empty for B, G, R, X
    bool scratchFilled_ = false;
};

}  // namespace vx
