#pragma once
// Media times and the two clocks the program reads.
#include <cstdint>

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

}  // namespace vx
