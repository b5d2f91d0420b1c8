#pragma once
// The 32-bit pixel layouts a screen cast may deliver, and how each becomes the
// B, G, R, X layout that the NV12 converter reads.
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vx {

enum class PixelLayout {
    bgrx,  // B G R X in memory (BGRx, BGRA): converted as it is
    rgbx,  // R G B X (RGBx, RGBA)
    xbgr,  // X B G R (xBGR, ABGR)
    xrgb,  // X R G B (xRGB, ARGB)
};

// The layout of an spa_video_format value; none for formats that are not 32-bit
// packed RGB.
std::optional<PixelLayout> pixelLayoutOf(uint32_t spaVideoFormat);

// Rewrites count pixels of `layout` at source as B, G, R, X at out (out may not
// overlap source). Not called for bgrx, which needs no rewriting.
void toBgrx(PixelLayout layout, const uint8_t* source, size_t count, uint8_t* out);

}  // namespace vx
