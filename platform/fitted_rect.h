#pragma once

#include <cstdint>

#include "platform/stream_configuration.h"

namespace vx {

// Where a sourceWidth x sourceHeight picture lies in a width x height frame: scaled
// to fill one axis, its aspect ratio kept, centred, with bars on the other axis.
// Every edge falls on an even pixel, so the 4:2:0 chroma samples never straddle a
// picture and a bar: the size is the even size nearest the exact one, the origin
// the even one nearest the centred position (the lower one on a tie), and the
// rectangle stays inside the frame's even part. A frame of odd width or height
// uses its even part only. A source that reports no size, or a picture that would
// be narrower than 2 pixels, gets at least 2 pixels on that axis; a frame with no
// even part gets an empty rectangle. Pure arithmetic, callable from any thread.
Rect fittedRect(int64_t sourceWidth, int64_t sourceHeight, int64_t width, int64_t height);

}  // namespace vx
