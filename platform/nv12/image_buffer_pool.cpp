#include "platform/nv12/image_buffer_pool.h"

namespace vx {

ImageBufferPool::ImageBufferPool(int width, int height, int count) {
    slots_.reserve(count);
    for (int i = 0; i < count; ++i) slots_.push_back(std::make_shared<Slot>(width, height));
}

std::shared_ptr<ImageBuffer> ImageBufferPool::acquire() {
    for (auto& slot : slots_) {
        if (slot->inUse.load(std::memory_order_acquire)) continue;
        // Only this thread sets the flag, so nobody can take the slot between the
        // load and the store.
        slot->inUse.store(true, std::memory_order_relaxed);
        // The holder's reference keeps the slot alive even if the pool goes first.
        return std::shared_ptr<ImageBuffer>(&slot->buffer, [slot](ImageBuffer*) {
            slot->inUse.store(false, std::memory_order_release);
        });
    }
    return nullptr;
}

}  // namespace vx
