#include "platform/linux/wayland/screen_cast_picture.h"

#include <linux/dma-buf.h>
#include <sys/ioctl.h>

namespace vx {

namespace {

// Brackets CPU reads of a DMA-BUF, so the device's writes are visible.
class DmaBufRead {
public:
    explicit DmaBufRead(const spa_data& data) : fd_(data.type == SPA_DATA_DmaBuf ? int(data.fd) : -1) {
        sync(DMA_BUF_SYNC_START);
    }
    ~DmaBufRead() { sync(DMA_BUF_SYNC_END); }
    DmaBufRead(const DmaBufRead&) = delete;
    DmaBufRead& operator=(const DmaBufRead&) = delete;

private:
    void sync(uint64_t when) const {
        if (fd_ < 0) return;
        dma_buf_sync request{when | DMA_BUF_SYNC_READ};
        ioctl(fd_, DMA_BUF_IOCTL_SYNC, &request);
    }
    int fd_;
};

}  // namespace

ScreenCastPicture::ScreenCastPicture(PixelLayout layout, int sourceWidth, int sourceHeight,
                                     int width, int height, PixelRect area)
    : layout_(layout),
      sourceWidth_(sourceWidth),
      sourceHeight_(sourceHeight),
      converter_(sourceWidth, sourceHeight, width, height, area) {
    if (layout != PixelLayout::bgrx) scratch_.resize(size_t(sourceWidth) * size_t(sourceHeight) * 4);
}

bool ScreenCastPicture::fill(const spa_buffer& buffer, ImageBuffer& picture) {
    if (buffer.n_datas < 1 || !buffer.datas) return false;
    const spa_data& data = buffer.datas[0];
    if (!data.data || !data.chunk) return false;
    const size_t row = size_t(sourceWidth_) * 4;
    const size_t stride = data.chunk->stride > 0 ? size_t(data.chunk->stride) : row;
    const size_t offset = data.chunk->offset;
    if (stride < row) return false;
    const size_t needed = offset + stride * size_t(sourceHeight_ - 1) + row;
    if (needed > data.maxsize) return false;

    DmaBufRead reading(data);
    const uint8_t* pixels = static_cast<const uint8_t*>(data.data) + offset;
    if (layout_ == PixelLayout::bgrx) return converter_.convert(pixels, stride, picture);
    for (int y = 0; y < sourceHeight_; ++y)
        toBgrx(layout_, pixels + stride * size_t(y), size_t(sourceWidth_), scratch_.data() + row * size_t(y));
    return converter_.convert(scratch_.data(), row, picture);
}

}  // namespace vx
