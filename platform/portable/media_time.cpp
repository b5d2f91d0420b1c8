// The clock on Linux and in the stand-in: CLOCK_MONOTONIC in nanoseconds.
#include "platform/media_time.h"

#include <time.h>

namespace vx {

uint64_t uptimeNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

Time hostTime() { return Time{int64_t(uptimeNanoseconds()), 1000000000}; }

}  // namespace vx
