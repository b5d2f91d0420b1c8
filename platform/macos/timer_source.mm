// The timer source on libdispatch: a DISPATCH_SOURCE_TYPE_TIMER source on the
// queue's dispatch queue. Dispatch coalesces ticks that fall due while the
// handler still runs, and the leeway asked for (zero in this program) is passed on.
// The ticks follow the host clock (mach absolute time, as uptimeNanoseconds on
// macOS); the timer's own clock only places the first deadline.
#include "platform/timer_source.h"

#include "platform/macos/serial_queue_native.h"
#include "platform/media_time.h"

namespace vx {

struct TimerSource::Native {
    std::shared_ptr<SerialQueue> queue;  // the source's target, kept alive with it
    std::shared_ptr<Clock> clock;        // places the first deadline
    dispatch_source_t source;            // strong (ARC)
    bool resumed = false;
};

std::shared_ptr<TimerSource> TimerSource::create(std::shared_ptr<SerialQueue> queue,
                                                 std::shared_ptr<Clock> clock) {
    std::shared_ptr<TimerSource> timer(new TimerSource());
    Native& native = *timer->native_;
    native.source = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, queue->native().queue);
    native.queue = std::move(queue);
    native.clock = clock ? std::move(clock) : Clock::host();
    return timer;
}

TimerSource::TimerSource() : native_(std::make_unique<Native>()) {}

TimerSource::~TimerSource() {
    cancel();
    // A source must not be released while suspended; once cancelled it never fires.
    if (!native_->resumed) dispatch_resume(native_->source);
}

void TimerSource::schedule(uint64_t deadline, uint64_t interval, uint64_t leeway) {
    const uint64_t now = native_->clock->uptimeNanoseconds();
    const int64_t delay = deadline > now ? int64_t(deadline - now) : 0;
    dispatch_source_set_timer(native_->source, dispatch_time(DISPATCH_TIME_NOW, delay),
                              interval == 0 ? DISPATCH_TIME_FOREVER : interval, leeway);
}

void TimerSource::setEventHandler(std::function<void()> handler) {
    dispatch_source_set_event_handler(native_->source, ^{
      if (handler) handler();
    });
}

void TimerSource::resume() {
    if (native_->resumed) return;
    native_->resumed = true;
    dispatch_resume(native_->source);
}

void TimerSource::cancel() { dispatch_source_cancel(native_->source); }

}  // namespace vx
