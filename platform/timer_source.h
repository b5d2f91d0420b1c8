#pragma once
// A periodic timer whose handler runs on a serial queue, without added tolerance.
//
// schedule() and setEventHandler() are called before resume(); the first tick
// comes at the deadline, then one per interval. A tick that falls due while the
// previous handler still runs is not queued twice: the timer skips to the next
// period boundary. cancel() (also run on destruction) stops future ticks; it does
// not wait for a handler that is running on the queue.
// Deadlines are read on the clock given at creation (the host clock by default).
//
// A thread of ours on Linux and in the stand-in (platform/portable/), which
// follows any clock, a test's too; a libdispatch timer source in the macOS
// backend, which ticks on the host clock.
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/media_time.h"
#include "platform/serial_queue.h"

namespace vx {

class TimerSource {
public:
    static std::shared_ptr<TimerSource> create(std::shared_ptr<SerialQueue> queue,
                                               std::shared_ptr<Clock> clock = Clock::host());
    ~TimerSource();

    TimerSource(const TimerSource&) = delete;
    TimerSource& operator=(const TimerSource&) = delete;

    // deadline: the clock's uptime nanoseconds of the first tick; interval and leeway
    // in nanoseconds.
    void schedule(uint64_t deadline, uint64_t interval, uint64_t leeway);
    void setEventHandler(std::function<void()> handler);
    void resume();
    void cancel();

    // The machine's timer behind it, defined by the implementation that is linked in.
    struct Native;

private:
    TimerSource();

    std::unique_ptr<Native> native_;
};

}  // namespace vx
