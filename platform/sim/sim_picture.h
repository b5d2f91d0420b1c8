#pragma once
// Pictures of the stand-in: a square NV12 image buffer whose luma is one value, so
// that the scripted compression session can tell which picture it was given.
#include <cstdint>
#include <memory>

#include "platform/image_buffer.h"

namespace vx {

// A size x size picture (size even), all of it luma, chroma neutral.
std::shared_ptr<ImageBuffer> simPicture(uint8_t luma, int size = 16);

// The luma of the first pixel: what the compression session records of a picture.
int simPictureLuma(const ImageBuffer& picture);

}  // namespace vx
