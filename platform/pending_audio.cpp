#include "platform/pending_audio.h"

#include <utility>

namespace vx {

void PendingAudio::push(SampleBuffer sample, uint32_t frames) {
    waiting_.push_back(Block{std::move(sample), frames});
    if (waiting_.size() > kMaxPending) waiting_.pop_front();
}

const PendingAudio::Block* PendingAudio::next() {
    handedOver_.reset();
    if (waiting_.empty()) return nullptr;
    handedOver_ = std::move(waiting_.front());
    waiting_.pop_front();
    return &*handedOver_;
}

void PendingAudio::clear() {
    waiting_.clear();
    handedOver_.reset();
}

}  // namespace vx
