#pragma once
// A periodic timer whose handler runs on a serial queue, without added tolerance.
//
// schedule() and setEventHandler() are called before resume(); the first tick
// comes at the deadline, then one per interval. A tick that falls due while the
// previous handler still runs is not queued twice: the timer skips to the next
// period boundary. cancel() (also run on destruction) stops future ticks; it does
// not wait for a handler that is running on the queue.
//
// A thread of ours on Linux and in the stand-in (platform/portable/), a libdispatch
// timer source on macOS.
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/serial_queue.h"

namespace vx {

class TimerSource {
public:
    static std::shared_ptr<TimerSource> create(std::shared_ptr<SerialQueue> queue);
    ~TimerSource();

    TimerSource(const TimerSource&) = delete;
    TimerSource& operator=(const TimerSource&) = delete;

    // deadline: uptime nanoseconds of the first tick; interval and leeway in nanoseconds.
    void schedule(uint64_t deadline, uint64_t interval, uint64_t leeway);
    void setEventHandler(std::function<void()> handler);
    void resume();
    void cancel();

    // The machine's timer behind it, defined by the implementation that is linked in.
    struct Native;

private:
    explicit TimerSource(std::shared_ptr<SerialQueue> queue);

    std::unique_ptr<Native> native_;
};

}  // namespace vx
