#include "platform/linux/pulse/pulse_mainloop.h"

#include <pulse/mainloop-api.h>
#include <pulse/thread-mainloop.h>

#include "platform/linux/pulse/pulse_identity.h"

namespace vx {

namespace {

using Work = std::function<void()>;

void runLater(pa_mainloop_api* api, pa_defer_event* event, void* userdata) {
    Work work = std::move(*static_cast<Work*>(userdata));
    api->defer_free(event);  // its destroy callback frees the holder
    work();
}

void freeLater(pa_mainloop_api*, pa_defer_event*, void* userdata) {
    std::unique_ptr<Work> holder(static_cast<Work*>(userdata));
}

}  // namespace

void PulseMainloop::Free::operator()(pa_threaded_mainloop* loop) const {
    pa_threaded_mainloop_free(loop);
}

std::unique_ptr<PulseMainloop> PulseMainloop::start(const char* threadName) {
    quietPulseLogging();
    std::unique_ptr<pa_threaded_mainloop, Free> loop(pa_threaded_mainloop_new());
    if (!loop) return nullptr;
    pa_threaded_mainloop_set_name(loop.get(), threadName);
    if (pa_threaded_mainloop_start(loop.get()) < 0) return nullptr;
    return std::make_unique<PulseMainloop>(Key{}, std::move(loop));
}

PulseMainloop::PulseMainloop(Key, std::unique_ptr<pa_threaded_mainloop, Free> loop)
    : loop_(std::move(loop)) {}

PulseMainloop::~PulseMainloop() { stop(); }

pa_mainloop_api* PulseMainloop::api() const { return pa_threaded_mainloop_get_api(loop_.get()); }

void PulseMainloop::lock() { pa_threaded_mainloop_lock(loop_.get()); }

void PulseMainloop::unlock() { pa_threaded_mainloop_unlock(loop_.get()); }

void PulseMainloop::wait() { pa_threaded_mainloop_wait(loop_.get()); }

void PulseMainloop::signal() { pa_threaded_mainloop_signal(loop_.get(), 0); }

void PulseMainloop::stop() {
    if (!running_) return;
    running_ = false;
    pa_threaded_mainloop_stop(loop_.get());
}

void PulseMainloop::later(std::function<void()> work) {
    pa_mainloop_api* loopApi = api();
    auto holder = std::make_unique<Work>(std::move(work));
    pa_defer_event* event = loopApi->defer_new(loopApi, runLater, holder.get());
    if (!event) return;
    loopApi->defer_set_destroy(event, freeLater);
    holder.release();
}

}  // namespace vx
