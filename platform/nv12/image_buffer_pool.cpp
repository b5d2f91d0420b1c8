#include "platform/nv12/image_buffer_pool.h"

namespace vx {

ImageBufferPool::ImageBufferPool(int width, int height, int count) {
    buffers_.reserve(count);
    for (int i = 0; i < count; ++i) buffers_.push_back(std::make_shared<ImageBuffer>(width, height));
}

std::shared_ptr<ImageBuffer> ImageBufferPool::acquire() {
    // A use count of 1 means only the pool holds the buffer. Nobody else can take
    // a new reference to it, since only the pool hands buffers out.
    for (auto& buffer : buffers_)
        if (buffer.use_count() == 1) return buffer;
    return nullptr;
}

}  // namespace vx
