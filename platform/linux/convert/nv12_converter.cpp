#include "platform/linux/convert/nv12_converter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/linux/convert/nv12_rows.h"

namespace vx {

namespace {
constexpr uint8_t kBlackLuma = 16;
constexpr uint8_t kBlackChroma = 128;

int evenBelow(double v) { return int(std::floor(v / 2)) * 2; }
}  // namespace

PixelRect Nv12Converter::area(const std::optional<Rect>& rect, int width, int height) {
    const PixelRect whole{0, 0, width, height};
    if (!rect || !(rect->width > 0) || !(rect->height > 0)) return whole;
    // Round to the nearest pixel first, so 95.9999 counts as 96.
    int left = std::clamp(evenBelow(std::round(rect->x)), 0, width);
    int top = std::clamp(evenBelow(std::round(rect->y)), 0, height);
    int right = std::clamp(evenBelow(std::round(rect->x + rect->width)), 0, width);
    int bottom = std::clamp(evenBelow(std::round(rect->y + rect->height)), 0, height);
    if (right <= left) {
        if (left >= width) return whole;
        right = left + 2;
    }
    if (bottom <= top) {
        if (top >= height) return whole;
        bottom = top + 2;
    }
    return PixelRect{left, top, right - left, bottom - top};
}

Nv12Converter::Nv12Converter(int sourceWidth, int sourceHeight, int width, int height,
                             PixelRect area)
    : sourceWidth_(sourceWidth),
      sourceHeight_(sourceHeight),
      width_(width),
      height_(height),
      area_(area) {
    if (area.width != sourceWidth || area.height != sourceHeight) {
        scaler_ = std::make_unique<BgraScaler>(sourceWidth, sourceHeight, area.width, area.height);
        scaled_.resize(size_t(area.width) * 4 * 2);
    }
}

bool Nv12Converter::convert(const uint8_t* source, size_t stride, ImageBuffer& picture) {
    if (!fits(picture)) return false;
    fillBorders(picture);
    return convertRegion(source, stride, area_, picture);
}

PixelRect Nv12Converter::affected(const PixelRect& sourceRect) const {
    const PixelRect inside = intersection(sourceRect, PixelRect{0, 0, sourceWidth_, sourceHeight_});
    if (inside.empty()) return PixelRect{};
    PixelRect out = inside;
    if (scaler_) {
        auto [left, right] = scaler_->columnsReading(inside.x, inside.right());
        auto [top, bottom] = scaler_->rowsReading(inside.y, inside.bottom());
        out = PixelRect{left, top, right - left, bottom - top};
    }
    out.x += area_.x;
    out.y += area_.y;
    return alignedOutwards(out, 2, area_);
}

bool Nv12Converter::convertRegion(const uint8_t* source, size_t stride, const PixelRect& region,
                                  ImageBuffer& picture) {
    if (!fits(picture)) return false;
    const PixelRect r = alignedOutwards(intersection(region, area_), 2, area_);
    if (r.empty()) return true;
    // Output coordinates inside the area.
    const int left = r.x - area_.x, top = r.y - area_.y, width = r.width;
    const size_t lumaStride = picture.stride(0);
    const size_t chromaStride = picture.stride(1);
    uint8_t* luma = picture.plane(0) + lumaStride * size_t(r.y) + size_t(r.x);
    uint8_t* chroma = picture.plane(1) + chromaStride * size_t(r.y / 2) + size_t(r.x);
    uint8_t* upper = scaled_.data();
    uint8_t* lower = scaled_.data() + size_t(area_.width) * 4;
    for (int row = 0; row < r.height; row += 2) {
        const uint8_t* first;
        const uint8_t* second;
        if (scaler_) {
            scaler_->scaleRow(source, stride, top + row, left, left + width, upper);
            scaler_->scaleRow(source, stride, top + row + 1, left, left + width, lower);
            first = upper;
            second = lower;
        } else {
            first = source + stride * size_t(top + row) + 4 * size_t(left);
            second = first + stride;
        }
        nv12::convertRowPair(first, second, width, luma + lumaStride * row,
                             luma + lumaStride * (row + 1), chroma + chromaStride * (row / 2));
    }
    return true;
}

void Nv12Converter::fillBorders(ImageBuffer& picture) const {
    const PixelRect& a = area_;
    if (a == PixelRect{0, 0, width_, height_}) return;
    const size_t lumaStride = picture.stride(0);
    const size_t chromaStride = picture.stride(1);
    auto fillRows = [&](int from, int to) {  // luma rows [from, to); both even
        for (int row = from; row < to; ++row)
            std::memset(picture.plane(0) + lumaStride * row, kBlackLuma, width_);
        for (int row = from / 2; row < to / 2; ++row)
            std::memset(picture.plane(1) + chromaStride * row, kBlackChroma, width_);
    };
    fillRows(0, a.y);
    fillRows(a.y + a.height, height_);
    const int right = a.x + a.width;
    if (a.x == 0 && right == width_) return;
    for (int row = a.y; row < a.y + a.height; ++row) {
        uint8_t* line = picture.plane(0) + lumaStride * row;
        std::memset(line, kBlackLuma, a.x);
        std::memset(line + right, kBlackLuma, width_ - right);
        if (row % 2 == 0) {
            uint8_t* pairs = picture.plane(1) + chromaStride * (row / 2);
            std::memset(pairs, kBlackChroma, a.x);
            std::memset(pairs + right, kBlackChroma, width_ - right);
        }
    }
}

}  // namespace vx
