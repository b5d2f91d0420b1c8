#pragma once
// A fixed set of pixel buffers of one size, reused frame after frame.
//
// acquire() hands out a buffer that nobody but the pool holds, or null when every
// buffer is still in use (by the frame pump, the encoder, ...). A buffer handed
// out is therefore never overwritten while someone still reads it. Only one
// thread may call acquire(); buffers may be released on any thread.
//
// Releasing a buffer (dropping its last reference) happens-before the acquire()
// that hands it out again: whatever the last holder wrote or read is done before
// the next user writes. A buffer handed out may outlive the pool.
#include <atomic>
#include <memory>
#include <vector>

#include "platform/nv12/image_buffer.h"

namespace vx {

class ImageBufferPool {
public:
    ImageBufferPool(int width, int height, int count);

    std::shared_ptr<ImageBuffer> acquire();

private:
    struct Slot {
        Slot(int width, int height) : buffer(width, height) {}
        ImageBuffer buffer;
        // Set by acquire(), cleared with release order when the last holder
        // lets go; acquire() reads it with acquire order.
        std::atomic<bool> inUse{false};
    };
    std::vector<std::shared_ptr<Slot>> slots_;
};

}  // namespace vx
