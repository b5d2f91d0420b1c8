#include "platform/nv12/image_buffer.h"

namespace vx {

ImageBuffer::ImageBuffer(int width, int height)
    : width_(width),
      height_(height),
      data_(size_t(width) * size_t(height) * 3 / 2),
      changed_(size_t(macroblocksWide()) * size_t(macroblocksHigh()), 1) {}

}  // namespace vx
