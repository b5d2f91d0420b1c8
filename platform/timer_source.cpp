#include "platform/timer_source.h"

#include <chrono>

#include "platform/media_time.h"

namespace vx {

std::shared_ptr<TimerSource> TimerSource::create(std::shared_ptr<SerialQueue> queue) {
    return std::shared_ptr<TimerSource>(new TimerSource(std::move(queue)));
}

TimerSource::TimerSource(std::shared_ptr<SerialQueue> queue) : queue_(std::move(queue)) {}

TimerSource::~TimerSource() { cancel(); }

void TimerSource::schedule(uint64_t deadline, uint64_t interval, uint64_t /*leeway*/) {
    deadline_ = deadline;
    interval_ = interval;
}

void TimerSource::setEventHandler(std::function<void()> handler) { handler_ = std::move(handler); }

void TimerSource::resume() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] { run(); });
}

void TimerSource::cancel() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        cancelled_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void TimerSource::run() {
    uint64_t due = deadline_;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!cancelled_) {
        uint64_t now = uptimeNanoseconds();
        if (now < due) {
            wake_.wait_for(lock, std::chrono::nanoseconds(due - now));
            continue;
        }
        // Hand one tick to the queue unless the previous one has not run yet.
        if (!tickPending_->exchange(true)) {
            queue_->async([handler = handler_, pending = tickPending_] {
                pending->store(false);
                if (handler) handler();
            });
        }
        if (interval_ == 0) return;
        uint64_t late = uptimeNanoseconds() - due;
        due += interval_ * (1 + late / interval_);
    }
}

}  // namespace vx
