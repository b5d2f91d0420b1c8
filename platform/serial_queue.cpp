#include "platform/serial_queue.h"

#include <pthread.h>

namespace vx {

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
    return std::shared_ptr<SerialQueue>(new SerialQueue(std::move(label)));
}

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    thread_ = std::thread([this] { run(); });
    // Thread names are limited to 15 characters; the label's tail is the telling part.
    std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(thread_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        closing_ = true;
    }
    wake_.notify_one();
    if (isCurrent()) thread_.detach();  // released from its own work item
    else thread_.join();
}

void SerialQueue::async(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        work_.push_back(std::move(work));
    }
    wake_.notify_one();
}

void SerialQueue::run() {
    for (;;) {
        std::function<void()> next;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return closing_ || !work_.empty(); });
            if (work_.empty()) return;
            next = std::move(work_.front());
            work_.pop_front();
        }
        next();
    }
}

}  // namespace vx
