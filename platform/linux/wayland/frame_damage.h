#pragma once
// Whether a buffer of a screen cast brings a changed picture: the status of the
// frame it would become.
#include <spa/buffer/buffer.h>

#include "platform/sample_buffer.h"

namespace vx {

// complete: the buffer holds a picture and either carries no damage metadata (a
// producer that does not report damage) or names at least one damaged region of
// non-zero size. idle: damage metadata that names no region. blank: no picture at
// all (no data, an empty or corrupted chunk).
FrameStatus frameStatusOf(const spa_buffer& buffer);

}  // namespace vx
