#pragma once
// Whether a buffer of a screen cast brings a changed picture, and where it changed.
#include <spa/buffer/buffer.h>

#include <vector>

#include "platform/linux/convert/pixel_rect.h"
#include "platform/sample_buffer.h"

namespace vx {

// complete: the buffer holds a picture and either carries no damage metadata (a
// producer that does not report damage) or names at least one damaged region of
// non-zero size. idle: damage metadata that names no region. blank: no picture at
// all (no data, an empty or corrupted chunk).
FrameStatus frameStatusOf(const spa_buffer& buffer);

// Appends to regions the parts of a width x height picture that the buffer's damage
// metadata names (clipped to the picture; empty ones left out). False, with nothing
// appended, when the buffer reports no damage: then all of it may have changed.
bool appendDamage(const spa_buffer& buffer, int width, int height, std::vector<PixelRect>& regions);

}  // namespace vx
