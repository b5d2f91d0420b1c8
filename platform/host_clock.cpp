// The host clock as the Clock that timing code reads and waits on: the machine's
// uptime clock (uptimeNanoseconds, whichever the linked implementation is).
#include <chrono>

#include "platform/media_time.h"

namespace vx {

namespace {

class HostClock : public Clock {
public:
    uint64_t uptimeNanoseconds() override { return vx::uptimeNanoseconds(); }
    void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                   uint64_t deadline) override {
        const uint64_t now = vx::uptimeNanoseconds();
        if (now < deadline) wake.wait_for(lock, std::chrono::nanoseconds(deadline - now));
    }
};

}  // namespace

std::shared_ptr<Clock> Clock::host() {
    // Never destroyed: timer threads may still read it while the process ends.
    static auto* clock = new std::shared_ptr<Clock>(std::make_shared<HostClock>());
    return *clock;
}

}  // namespace vx
