// The timer source on a thread of ours (Linux and the stand-in): the thread waits
// on the timer's clock until each tick is due and hands the handler to the queue.
#include "platform/timer_source.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace vx {

struct TimerSource::Native {
    void run();

    std::shared_ptr<SerialQueue> queue;
    std::shared_ptr<Clock> clock;
    std::function<void()> handler;
    uint64_t deadline = 0;
    uint64_t interval = 0;
    std::mutex mutex;
    std::condition_variable wake;
    bool cancelled = false;
    std::shared_ptr<std::atomic<bool>> tickPending = std::make_shared<std::atomic<bool>>(false);
    std::thread thread;
};

std::shared_ptr<TimerSource> TimerSource::create(std::shared_ptr<SerialQueue> queue,
                                                 std::shared_ptr<Clock> clock) {
    std::shared_ptr<TimerSource> timer(new TimerSource());
    timer->native_->queue = std::move(queue);
    timer->native_->clock = clock ? std::move(clock) : Clock::host();
    return timer;
}

TimerSource::TimerSource() : native_(std::make_unique<Native>()) {}

TimerSource::~TimerSource() { cancel(); }

void TimerSource::schedule(uint64_t deadline, uint64_t interval, uint64_t /*leeway*/) {
    native_->deadline = deadline;
    native_->interval = interval;
}

void TimerSource::setEventHandler(std::function<void()> handler) {
    native_->handler = std::move(handler);
}

void TimerSource::resume() {
    if (native_->thread.joinable()) return;
    native_->thread = std::thread([native = native_.get()] { native->run(); });
}

// Waits for the timer's thread (not for a handler running on the queue).
void TimerSource::cancel() {
    {
        std::lock_guard<std::mutex> guard(native_->mutex);
        native_->cancelled = true;
    }
    native_->wake.notify_one();
    if (native_->thread.joinable()) native_->thread.join();
}

void TimerSource::Native::run() {
    uint64_t due = deadline;
    std::unique_lock<std::mutex> lock(mutex);
    while (!cancelled) {
        uint64_t now = clock->uptimeNanoseconds();
        if (now < due) {
            clock->waitUntil(lock, wake, due);
            continue;
        }
        // Hand one tick to the queue unless the previous one has not run yet.
        if (!tickPending->exchange(true)) {
            queue->async([handler = handler, pending = tickPending] {
                pending->store(false);
                if (handler) handler();
            });
        }
        if (interval == 0) return;
        uint64_t late = clock->uptimeNanoseconds() - due;
        due += interval * (1 + late / interval);
    }
}

}  // namespace vx
