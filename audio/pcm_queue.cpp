#include "audio/pcm_queue.h"

#include <utility>

namespace vx {

PcmQueue::PcmQueue(size_t maxBytes, size_t maxBuffers)
    : maxBytes_(maxBytes), slots_(maxBuffers > 0 ? maxBuffers : 1) {}

void PcmQueue::push(std::vector<uint8_t> buffer) {
    if (buffer.empty()) return;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (closed_) return;
        if (count_ == slots_.size()) dropOldest();
        bytes_ += buffer.size();
        slots_[(first_ + count_) % slots_.size()] = std::move(buffer);
        ++count_;
        while (bytes_ > maxBytes_ && count_ > 1) dropOldest();
    }
    filled_.notify_one();
}

void PcmQueue::dropOldest() {
    std::vector<uint8_t> oldest = std::move(slots_[first_]);  // freed here
    bytes_ -= oldest.size();
    first_ = (first_ + 1) % slots_.size();
    --count_;
    ++dropped_;
}

std::optional<std::vector<uint8_t>> PcmQueue::pop() {
    std::unique_lock<std::mutex> lock(mutex_);
    filled_.wait(lock, [this] { return count_ > 0 || closed_; });
    if (count_ == 0) return std::nullopt;
    std::vector<uint8_t> oldest = std::move(slots_[first_]);
    bytes_ -= oldest.size();
    first_ = (first_ + 1) % slots_.size();
    --count_;
    return oldest;
}

void PcmQueue::close() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = true;
    }
    filled_.notify_all();
}

size_t PcmQueue::queuedBytes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return bytes_;
}

uint64_t PcmQueue::droppedBuffers() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return dropped_;
}

}  // namespace vx
