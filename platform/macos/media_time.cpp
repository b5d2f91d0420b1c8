// The clocks on macOS: presentation times from the host time clock, and the
// uptime clock that libdispatch's timers count in (mach absolute time).
#include "platform/media_time.h"

#include <CoreMedia/CoreMedia.h>
#include <time.h>

namespace vx {

uint64_t uptimeNanoseconds() { return clock_gettime_nsec_np(CLOCK_UPTIME_RAW); }

Time hostTime() {
    const CMTime now = CMClockGetTime(CMClockGetHostTimeClock());
    return Time{now.value, now.timescale};
}

}  // namespace vx
