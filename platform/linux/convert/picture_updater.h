#pragma once
// Keeps a set of NV12 pictures (a pool's, handed out in any order) up to date with a
// BGRA source that changes part by part, converting only what changed since each
// picture was last written.
//
// Frames are numbered from 1. Each update() makes the next frame: the caller says
// which parts of the source changed since the previous frame, and the picture it
// passes in, which holds an older frame (or nothing yet), is brought up to the new
// one by converting the parts that changed in between; a picture that is too far
// behind is converted whole. The picture is then numbered (ImageBuffer::sequence())
// and its macroblock map marks where it differs from the frame before.
//
// One thread at a time. Allocates nothing per frame once its lists have grown.
#include <array>
#include <cstdint>
#include <vector>

#include "platform/linux/convert/nv12_converter.h"
#include "platform/linux/convert/pixel_rect.h"
#include "platform/nv12/image_buffer.h"

namespace vx {

class PictureUpdater {
public:
    // How many frames back a picture can be brought up to date part by part.
    static constexpr uint64_t kHistory = 8;

    explicit PictureUpdater(Nv12Converter converter);

    // source: the converter's source picture, now. changed: parts of it (source
    // coordinates) that changed since the previous frame; everything: all of it did
    // (the first frame always counts as such). False, with nothing written and no
    // frame made, when picture does not have the output size.
    bool update(const uint8_t* source, size_t stride, const std::vector<PixelRect>& changed,
                bool everything, ImageBuffer& picture);

    // The number of the last frame made; 0 before the first.
    uint64_t sequence() const { return sequence_; }

    const Nv12Converter& converter() const { return converter_; }

private:
    void markMacroblocks(const std::vector<PixelRect>& regions, ImageBuffer& picture) const;

    Nv12Converter converter_;
    uint64_t sequence_ = 0;
    // The picture regions frame n changed, at [n % kHistory].
    std::array<std::vector<PixelRect>, kHistory> history_;
    std::vector<PixelRect> stale_;  // scratch: what one picture lacks
};

}  // namespace vx
