#include "platform/linux/wayland/wayland_screen_source.h"

#include <algorithm>

#include "platform/linux/wayland/pipewire_capture.h"
#include "platform/linux/wayland/portal_grant.h"
#include "platform/linux/wayland/restore_token_store.h"
#include "platform/linux/wayland/screen_cast_portal.h"

namespace vx {

namespace {

constexpr uint64_t kDefaultFrameInterval = 1000000000 / 60;

uint64_t frameInterval(Time interval) {
    if (interval.value <= 0 || interval.timescale <= 0) return kDefaultFrameInterval;
    return uint64_t(interval.value) * 1000000000u / uint64_t(interval.timescale);
}

int evenSize(int64_t size) { return int(std::clamp<int64_t>(size, 2, 16384)) & ~1; }

}  // namespace

WaylandScreenSource::WaylandScreenSource(const ContentFilter& filter,
                                         const StreamConfiguration& configuration)
    : filter_(filter), configuration_(configuration) {}

WaylandScreenSource::~WaylandScreenSource() {
    std::unique_ptr<PipeWireCapture> capture;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        capture = std::move(capture_);
    }
    capture.reset();
    grant_.reset();
}

void WaylandScreenSource::setFramesWanted(bool wanted) {
    std::lock_guard<std::mutex> guard(mutex_);
    wanted_ = wanted;
    if (capture_) capture_->setFramesWanted(wanted);
}

std::optional<Error> WaylandScreenSource::start(Deliver deliver, Stopped stopped) {
    PipeWireCapture::Settings settings;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (capture_) return Error{kScreenCastFailed, "the screen capture is already running"};
        settings.framesWanted = wanted_;
    }
    grant_ = PortalGrant::take();
    if (!grant_) {
        ScreenCastPortal::Settings portal;
        portal.showsCursor = configuration_.showsCursor;
        portal.tokenPath = RestoreTokenStore::defaultPath();
        auto granted = ScreenCastPortal::request(portal);
        if (auto* error = std::get_if<Error>(&granted)) return *error;
        grant_ = std::move(std::get<std::shared_ptr<PortalGrant>>(granted));
    }
    const auto& streams = grant_->streams();
    const size_t chosen = filter_.display.displayID < streams.size() ? filter_.display.displayID : 0;

    settings.node = streams[chosen].node;
    settings.width = evenSize(configuration_.width);
    settings.height = evenSize(configuration_.height);
    std::optional<Rect> destination;
    if (configuration_.hasDestinationRect) destination = configuration_.destinationRect;
    settings.destination = Nv12Converter::area(destination, settings.width, settings.height);
    settings.frameInterval = frameInterval(configuration_.minimumFrameInterval);
    settings.pictures = int(std::clamp<int64_t>(configuration_.queueDepth, 3, 16));

    const FileDescriptor pipewire = grant_->takePipeWire();
    if (!pipewire.valid()) return Error{kScreenCastFailed, "the screen cast's PipeWire connection is already in use"};
    auto started = PipeWireCapture::start(pipewire, settings, std::move(deliver), std::move(stopped));
    if (auto* error = std::get_if<Error>(&started)) return *error;
    // The hint may have changed while the capture started.
    std::lock_guard<std::mutex> guard(mutex_);
    capture_ = std::move(std::get<std::unique_ptr<PipeWireCapture>>(started));
    capture_->setFramesWanted(wanted_);
    return std::nullopt;
}

}  // namespace vx
