#pragma once
// A periodic timer whose handler runs on a serial queue, without added tolerance.
//
// schedule() and setEventHandler() are called before resume(); the first tick
// comes at the deadline, then one per interval. A tick that falls due while the
// previous handler still runs is not queued twice: the timer skips to the next
// period boundary. cancel() (also run on destruction) stops future ticks and
// waits for the timer thread, not for a handler that is running on the queue.
// Deadlines are read on the clock given at creation (the host clock by default).
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/media_time.h"
#include "platform/serial_queue.h"

namespace vx {

class TimerSource {
public:
    static std::shared_ptr<TimerSource> create(std::shared_ptr<SerialQueue> queue,
                                               std::shared_ptr<Clock> clock = Clock::host());
    ~TimerSource();

    // deadline: the clock's uptime nanoseconds of the first tick; interval and leeway
    // in nanoseconds.
    void schedule(uint64_t deadline, uint64_t interval, uint64_t leeway);
    void setEventHandler(std::function<void()> handler);
    void resume();
    void cancel();

private:
    TimerSource(std::shared_ptr<SerialQueue> queue, std::shared_ptr<Clock> clock);
    void run();

    std::shared_ptr<SerialQueue> queue_;
    std::shared_ptr<Clock> clock_;
    std::function<void()> handler_;
    uint64_t deadline_ = 0;
    uint64_t interval_ = 0;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool cancelled_ = false;
    std::shared_ptr<std::atomic<bool>> tickPending_ = std::make_shared<std::atomic<bool>>(false);
    std::thread thread_;
};

}  // namespace vx
