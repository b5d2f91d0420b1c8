#pragma once
// A fixed set of pixel buffers of one size, reused frame after frame.
//
// acquire() hands out a buffer that nobody but the pool holds, or null when every
// buffer is still in use (by the frame pump, the encoder, ...). A buffer handed
// out is therefore never overwritten while someone still reads it. Only one
// thread may call acquire(); buffers may be released on any thread.
#include <memory>
#include <vector>

#include "platform/nv12/image_buffer.h"

namespace vx {

class ImageBufferPool {
public:
    ImageBufferPool(int width, int height, int count);

    std::shared_ptr<ImageBuffer> acquire();

private:
    std::vector<std::shared_ptr<ImageBuffer>> buffers_;
};

}  // namespace vx
