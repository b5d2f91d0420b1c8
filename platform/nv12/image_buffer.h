#pragma once
// The image buffer of the Linux backend and of the stand-in: a picture in
// bi-planar 8-bit 4:2:0 (NV12), a luma plane, then one plane of interleaved Cb/Cr
// at half resolution in both directions.
//
// Buffers are shared by reference (std::shared_ptr) and never copied on their way
// from the capture to the encoder. Whoever fills a buffer does so before handing
// it on; afterwards everybody treats it as read-only.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vx {

class ImageBuffer {
public:
    // width and height are even and positive. The planes are allocated here, once.
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

private:
    size_t lumaSize() const { return size_t(width_) * size_t(height_); }

    int width_;
    int height_;
    std::vector<uint8_t> data_;
};

}  // namespace vx
