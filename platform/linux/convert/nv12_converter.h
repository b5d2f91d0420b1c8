#pragma once
// Turns one captured BGRA picture into an NV12 picture (BT.709, video range): the
// source is scaled (bilinear) into an area of the output, and the rest of the
// output is black (Y 16, Cb Cr 128). When the area has the source's size the
// pixels are converted without scaling.
//
// Everything the conversion needs is allocated at construction; convert()
// allocates nothing. One thread at a time (the scaler's scratch rows are shared).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/linux/convert/bgra_scaler.h"
#include "platform/nv12/image_buffer.h"
#include "platform/stream_configuration.h"

namespace vx {

// A rectangle in whole pixels.
struct PixelRect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const PixelRect&) const = default;
};

class Nv12Converter {
public:
    // The part of a width x height picture (both even) that rect covers, with every
    // edge moved to an even pixel (4:2:0 chroma covers 2 x 2 pixels), clipped to the
    // picture and at least 2 x 2. No rect, or one that misses the picture: the whole
    // picture.
    static PixelRect area(const std::optional<Rect>& rect, int width, int height);

    // A sourceWidth x sourceHeight BGRA picture into `area` of a width x height NV12
    // picture. All sizes positive; width and height even; area as area() makes it.
    Nv12Converter(int sourceWidth, int sourceHeight, int width, int height, PixelRect area);

    // source: sourceHeight rows of sourceWidth pixels (B, G, R, X bytes), stride bytes
    // apart. Writes every pixel of picture. False (nothing written) when picture does
    // not have the output size.
    bool convert(const uint8_t* source, size_t stride, ImageBuffer& picture);

    const PixelRect& destination() const { return area_; }

private:
    void fillBorders(ImageBuffer& picture) const;

    int sourceWidth_;
    int sourceHeight_;
    int width_;
    int height_;
    PixelRect area_;
    std::unique_ptr<BgraScaler> scaler_;  // null: no scaling
    std::vector<uint8_t> scaled_;         // two scaled rows
};

}  // namespace vx
