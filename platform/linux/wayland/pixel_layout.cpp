#include "platform/linux/wayland/pixel_layout.h"

#include <spa/param/video/raw.h>

namespace vx {

std::optional<PixelLayout> pixelLayoutOf(uint32_t format) {
    switch (format) {
        case SPA_VIDEO_FORMAT_BGRx:
        case SPA_VIDEO_FORMAT_BGRA: return PixelLayout::bgrx;
        case SPA_VIDEO_FORMAT_RGBx:
        case SPA_VIDEO_FORMAT_RGBA: return PixelLayout::rgbx;
        case SPA_VIDEO_FORMAT_xBGR:
        case SPA_VIDEO_FORMAT_ABGR: return PixelLayout::xbgr;
        case SPA_VIDEO_FORMAT_xRGB:
        case SPA_VIDEO_FORMAT_ARGB: return PixelLayout::xrgb;
        default: return std::nullopt;
    }
}

void toBgrx(PixelLayout layout, const uint8_t* source, size_t count, uint8_t* out) {
    // Byte positions of B, G and R in the source pixel.
    int b = 0, g = 1, r = 2;
    switch (layout) {
        case PixelLayout::bgrx: break;
        case PixelLayout::rgbx: b = 2, g = 1, r = 0; break;
        case PixelLayout::xbgr: b = 1, g = 2, r = 3; break;
        case PixelLayout::xrgb: b = 3, g = 2, r = 1; break;
    }
    for (size_t i = 0; i < count; ++i, source += 4, out += 4) {
        out[0] = source[b];
        out[1] = source[g];
        out[2] = source[r];
        out[3] = 0xff;
    }
}

}  // namespace vx
