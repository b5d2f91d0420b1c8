#include "platform/sim/sim_picture.h"

#include <algorithm>

#include "platform/nv12/image_buffer.h"

namespace vx {

std::shared_ptr<ImageBuffer> simPicture(uint8_t luma, int size) {
    auto picture = std::make_shared<ImageBuffer>(size, size);
    std::fill(picture->plane(0), picture->plane(0) + size * size, luma);
    std::fill(picture->plane(1), picture->plane(1) + size * size / 2, uint8_t(128));
    return picture;
}

int simPictureLuma(const ImageBuffer& picture) { return picture.plane(0)[0]; }

}  // namespace vx
