#pragma once
// Turns one captured BGRA picture into an NV12 picture (BT.709, video range): the
// source is scaled (bilinear) into an area of the output, and the rest of the
// output is black (Y 16, Cb Cr 128). When the area has the source's size the
// pixels are converted without scaling.
//
// A picture may also be brought up to date in part: only the output pixels that
// depend on a changed part of the source are written (convertRegion), the rest of
// the picture is left as it was.
//
// Everything the conversion needs is allocated at construction; conversions
// allocate nothing. One thread at a time (the scaler's scratch rows are shared).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/linux/convert/bgra_scaler.h"
#include "platform/linux/convert/pixel_rect.h"
#include "platform/nv12/image_buffer.h"
#include "platform/stream_configuration.h"

namespace vx {

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

    // The part of the picture (in picture pixels, even edges, inside destination())
    // that depends on the source pixels of sourceRect; empty when none does.
    PixelRect affected(const PixelRect& sourceRect) const;

    // Writes the pixels of region (as affected() gives it: even edges, inside
    // destination()) from source, and nothing else. The borders are not touched. False
    // (nothing written) when picture does not have the output size.
    bool convertRegion(const uint8_t* source, size_t stride, const PixelRect& region,
                       ImageBuffer& picture);

    const PixelRect& destination() const { return area_; }

    // Whether picture has the output size.
    bool fits(const ImageBuffer& picture) const {
        return picture.width() == width_ && picture.height() == height_;
    }

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
