#pragma once
// A clock that only moves when the test moves it, for timing tests that do not
// depend on how busy the machine is.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/media_time.h"

namespace vx::test {

class ManualClock : public Clock {
public:
    explicit ManualClock(uint64_t start = 1'000'000'000) : now_(start) {}

    uint64_t uptimeNanoseconds() override {
        std::lock_guard<std::mutex> guard(mutex_);
        return now_;
    }

    void advance(std::chrono::nanoseconds by) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            now_ += uint64_t(by.count());
        }
        moved_.notify_all();
    }

    // Lets go of the caller's lock while it waits for the clock to move, and looks
    // again every millisecond, so that the caller's own wake-ups (a cancel) are not
    // kept waiting long.
    void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable&,
                   uint64_t deadline) override {
        lock.unlock();
        {
            std::unique_lock<std::mutex> guard(mutex_);
            moved_.wait_for(guard, std::chrono::milliseconds(1), [&] { return now_ >= deadline; });
        }
        lock.lock();
    }

private:
    std::mutex mutex_;
    std::condition_variable moved_;
    uint64_t now_;
};

}  // namespace vx::test
