#include "platform/serial_queue.h"

#include <pthread.h>

namespace vx {

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
    return std::shared_ptr<SerialQueue>(new SerialQueue(std::move(label)));
}

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    thread_ = std::thread([state = state_] { run(state); });
    // Thread names are limited to 15 characters; the label's tail is the telling part.
    std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(thread_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->closing = true;
    }
    state_->wake.notify_one();
    if (isCurrent()) thread_.detach();  // released from its own work item
    else thread_.join();
}

void SerialQueue::async(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->work.push_back(std::move(work));
    }
    state_->wake.notify_one();
}

void SerialQueue::run(const std::shared_ptr<State>& state) {
    for (;;) {
        std::function<void()> next;
        {
            std::unique_lock<std::mutex> lock(state->mutex);
            state->wake.wait(lock, [&] { return state->closing || !state->work.empty(); });
            if (state->work.empty()) return;
            next = std::move(state->work.front());
            state->work.pop_front();
        }
        next();  // may release the last reference to the queue itself
    }
}

}  // namespace vx
