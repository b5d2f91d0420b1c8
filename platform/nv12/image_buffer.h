#pragma once
// The image buffer of the Linux backend and of the stand-in: a picture in
// bi-planar 8-bit 4:2:0 (NV12), a luma plane, then one plane of interleaved Cb/Cr
// at half resolution in both directions.
//
// Buffers are shared by reference (std::shared_ptr) and never copied on their way
// from the capture to the encoder. Whoever fills a buffer does so before handing
// it on; afterwards everybody treats it as read-only.
//
// A producer that knows how its pictures follow each other numbers them and tells,
// per 16 x 16 macroblock, where a picture differs from the one numbered just before
// it, so that the encoder need not look again at what did not change.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vx {

class ImageBuffer {
public:
    // width and height are even and positive. The planes and the macroblock map are
    // allocated here, once.
    ImageBuffer(int width, int height);

    int width() const { return width_; }
    int height() const { return height_; }

    // Plane 0 is luma (stride width), plane 1 is interleaved CbCr (stride width,
    // height / 2 rows).
    uint8_t* plane(int index) { return index == 0 ? data_.data() : data_.data() + lumaSize(); }
    const uint8_t* plane(int index) const {
        return index == 0 ? data_.data() : data_.data() + lumaSize();
    }
    int stride(int /*index*/) const { return width_; }

    // The producer's number of the picture now in the buffer, counting from 1; 0 when
    // the producer does not number its pictures.
    uint64_t sequence() const { return sequence_; }
    void setSequence(uint64_t sequence) { sequence_ = sequence; }

    // Macroblocks of 16 x 16 pixels (the last column and row may be cut short),
    // macroblocksWide() per row, row after row. A non-zero entry marks a macroblock in
    // which this picture may differ from picture sequence() - 1; a zero entry one that
    // is certainly the same. Meaningful only when sequence() > 1.
    int macroblocksWide() const { return (width_ + 15) / 16; }
    int macroblocksHigh() const { return (height_ + 15) / 16; }
    uint8_t* changedMacroblocks() { return changed_.data(); }
    const uint8_t* changedMacroblocks() const { return changed_.data(); }

private:
    size_t lumaSize() const { return size_t(width_) * size_t(height_); }

    int width_;
    int height_;
    std::vector<uint8_t> data_;
    uint64_t sequence_ = 0;
    std::vector<uint8_t> changed_;
};

}  // namespace vx
