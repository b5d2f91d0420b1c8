#include "platform/timer_source.h"

#include "platform/media_time.h"

namespace vx {

std::shared_ptr<TimerSource> TimerSource::create(std::shared_ptr<SerialQueue> queue,
                                                 std::shared_ptr<Clock> clock) {
    return std::shared_ptr<TimerSource>(new TimerSource(std::move(queue), std::move(clock)));
}

TimerSource::TimerSource(std::shared_ptr<SerialQueue> queue, std::shared_ptr<Clock> clock)
    : queue_(std::move(queue)), clock_(clock ? std::move(clock) : Clock::host()) {}

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
        uint64_t now = clock_->uptimeNanoseconds();
        if (now < due) {
            clock_->waitUntil(lock, wake_, due);
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
        uint64_t late = clock_->uptimeNanoseconds() - due;
        due += interval_ * (1 + late / interval_);
    }
}

}  // namespace vx
