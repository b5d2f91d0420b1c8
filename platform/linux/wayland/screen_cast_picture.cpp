#include "platform/linux/wayland/screen_cast_picture.h"

#include <linux/dma-buf.h>
#include <sys/ioctl.h>

#include <algorithm>

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
                                     int width, int height, PixelRect area, uint64_t numbered)
    : layout_(layout),
      sourceWidth_(sourceWidth),
      sourceHeight_(sourceHeight),
      numbered_(numbered),
      updater_(Nv12Converter(sourceWidth, sourceHeight, width, height, area)) {
    if (layout != PixelLayout::bgrx) scratch_.resize(size_t(sourceWidth) * size_t(sourceHeight) * 4);
}

bool ScreenCastPicture::fill(const spa_buffer& buffer, const std::vector<PixelRect>& changed,
                             bool everything, ImageBuffer& picture) {
    if (!updater_.converter().fits(picture)) return false;
    if (buffer.n_datas < 1 || !buffer.datas) return false;
    const spa_data& data = buffer.datas[0];
    if (!data.data || !data.chunk) return false;
    const size_t row = size_t(sourceWidth_) * 4;
    const size_t stride = data.chunk->stride > 0 ? size_t(data.chunk->stride) : row;
    const size_t offset = data.chunk->offset;
    if (stride < row) return false;
    const size_t needed = offset + stride * size_t(sourceHeight_ - 1) + row;
    if (needed > data.maxsize) return false;

    // The updater numbers from 1; pictures keep the numbers of this whole stream. One
    // that holds a frame of an earlier size, or none, is converted whole.
    const uint64_t held = picture.sequence();
    picture.setSequence(held > numbered_ ? held - numbered_ : 0);

    DmaBufRead reading(data);
    const uint8_t* pixels = static_cast<const uint8_t*>(data.data) + offset;
    if (layout_ == PixelLayout::bgrx) {
        updater_.update(pixels, stride, changed, everything, picture);
    } else {
        rewriteRows(pixels, stride, changed, everything);
        updater_.update(scratch_.data(), row, changed, everything, picture);
    }
    // The first picture of a new size differs from the last of the old one
    // everywhere, the bars included.
    if (updater_.sequence() == 1 && numbered_ > 0)
        std::fill_n(picture.changedMacroblocks(),
                    size_t(picture.macroblocksWide()) * size_t(picture.macroblocksHigh()),
                    uint8_t(1));
    picture.setSequence(sequence());
    return true;
}

void ScreenCastPicture::rewriteRows(const uint8_t* pixels, size_t stride,
                                    const std::vector<PixelRect>& changed, bool everything) {
    // The scratch picture is kept whole and current: only the rows that changed are
    // rewritten, once it was filled.
    int top = 0, bottom = sourceHeight_;
    if (!everything && scratchFilled_) {
        top = sourceHeight_, bottom = 0;
        for (const PixelRect& r : changed) {
            if (r.empty()) continue;
            top = std::min(top, std::max(r.y, 0));
            bottom = std::max(bottom, std::min(r.bottom(), sourceHeight_));
        }
    }
    const size_t row = size_t(sourceWidth_) * 4;
    for (int y = top; y < bottom; ++y)
        toBgrx(layout_, pixels + stride * size_t(y), size_t(sourceWidth_), scratch_.data() + row * size_t(y));
    scratchFilled_ = true;
}

}  // namespace vx
