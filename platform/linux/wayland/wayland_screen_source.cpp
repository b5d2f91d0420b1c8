#include "platform/linux/wayland/wayland_screen_source.h"

#include <algorithm>

#include "platform/linux/screen_settings.h"
#include "platform/linux/wayland/pipewire_capture.h"
#include "platform/linux/wayland/portal_grant.h"
#include "platform/linux/wayland/restore_token_store.h"
#include "platform/linux/wayland/screen_cast_portal.h"

namespace vx {

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
    if (auto refused = refusedPictureSize(configuration_.width, configuration_.height))
        return refused;
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
    settings.width = int(configuration_.width) & ~1;
    settings.height = int(configuration_.height) & ~1;
    std::optional<Rect> destination;
    if (configuration_.hasDestinationRect) destination = configuration_.destinationRect;
    settings.destination = Nv12Converter::area(destination, settings.width, settings.height);
    settings.frameInterval = frameIntervalNanoseconds(configuration_.minimumFrameInterval);
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
