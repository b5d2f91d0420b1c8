#include "platform/linux/pulse/pulse_applications.h"

#include <memory>
#include <set>
#include <string>

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/rtclock.h>
#include <pulse/timeval.h>

#include "platform/linux/pulse/pulse_connection.h"
#include "platform/linux/pulse/pulse_identity.h"
#include "platform/linux/pulse/pulse_operation.h"
#include "platform/linux/pulse/pulse_time_event.h"

namespace vx {

namespace {

// With the start's own patience after it (pulse_capture_session.cpp), a server that
// never answers fails the start within five seconds.
constexpr pa_usec_t kPatience = 1000 * PA_USEC_PER_MSEC;

struct FreeLoop {
    void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};

// What one query gathers; lives on the caller's stack while its loop runs.
struct Listing {
    std::vector<RunningApplication> applications;
    std::set<std::string> known;
    uint32_t self = PA_INVALID_INDEX;
    int listsLeft = 2;
    bool over = false;

    void add(const pa_proplist* properties) {
        std::string identity = playerIdentity(properties);
        if (!identity.empty() && known.insert(identity).second)
            applications.push_back(RunningApplication{identity});
    }
    void listed(int eol) {
        if (eol != 0 && --listsLeft == 0) over = true;
    }
};

void onClient(pa_context*, const pa_client_info* info, int eol, void* userdata) {
    auto* listing = static_cast<Listing*>(userdata);
    if (eol == 0 && info && info->index != listing->self) listing->add(info->proplist);
    listing->listed(eol);
}

void onSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
    auto* listing = static_cast<Listing*>(userdata);
    if (eol == 0 && info) listing->add(info->proplist);
    listing->listed(eol);
}

void onTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    static_cast<Listing*>(userdata)->over = true;
}

}  // namespace

std::vector<RunningApplication> soundServerApplications() {
    quietPulseLogging();
    std::unique_ptr<pa_mainloop, FreeLoop> loop(pa_mainloop_new());
    if (!loop) return {};
    Listing listing;
    {
        PulseConnection connection(pa_mainloop_get_api(loop.get()), "vx-capture");
        pa_context* context = connection.context();
        auto failed = connection.connect(
            [&] {
                listing.self = pa_context_get_index(context);
                dropOperation(pa_context_get_client_info_list(context, onClient, &listing));
                dropOperation(pa_context_get_sink_input_info_list(context, onSinkInput, &listing));
            },
            [&](const Error&) { listing.over = true; });
        if (failed) return {};
        PulseTimeEvent timeout(pa_mainloop_get_api(loop.get()), context,
                               pa_rtclock_now() + kPatience, onTimeout, &listing);
        while (!listing.over)
            if (pa_mainloop_iterate(loop.get(), 1, nullptr) < 0) break;
    }
    return listing.applications;
}

}  // namespace vx
