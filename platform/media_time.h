#pragma once
// Media times and the clock the program reads.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace vx {

// value / timescale seconds.
struct Time {
    int64_t value = 0;
    int32_t timescale = 0;
    bool operator==(const Time&) const = default;
};

// The host clock's current time (monotonic, nanosecond timescale). Any thread.
Time hostTime();

// Monotonic nanoseconds since an arbitrary origin; never goes backwards. Any thread.
uint64_t uptimeNanoseconds();

// The clock that timing code reads and waits on: the host's in the program, one
// that a test moves by hand in tests. Any thread.
class Clock {
public:
    virtual ~Clock() = default;
    // Monotonic nanoseconds; never goes backwards.
    virtual uint64_t uptimeNanoseconds() = 0;
    // A presentation time read from this clock (nanosecond timescale).
    Time hostTime() { return Time{int64_t(uptimeNanoseconds()), 1000000000}; }
    // Waits on wake, with lock held by the caller, until the clock has reached
    // deadline or wake is notified; may also return early. The caller checks again.
    virtual void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                           uint64_t deadline) = 0;

    // The host clock (CLOCK_MONOTONIC); one shared instance.
    static std::shared_ptr<Clock> host();
};

}  // namespace vx
