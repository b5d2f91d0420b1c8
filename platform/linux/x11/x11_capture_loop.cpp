#include "platform/linux/x11/x11_capture_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/fitted_rect.h"
#include "platform/linux/x11/x11_connection.h"
#include "platform/linux/x11/x11_cursor.h"
#include "platform/linux/x11/x11_damage_watch.h"
#include "platform/linux/x11/x11_shm_image.h"
#include "platform/media_time.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace vx {

namespace {

// Parts of the screen are read in at most this many grabs, one round trip each
// (about 0.07 ms, the price of reading some 200,000 pixels more); two parts are
// read as one while that reads at most kGrabSlack pixels that did not change.
constexpr size_t kMostGrabs = 6;
constexpr int64_t kGrabSlack = 128 * 1024;

}  // namespace

std::variant<std::unique_ptr<X11CaptureLoop>, Error> X11CaptureLoop::create(
    std::unique_ptr<X11Connection> connection, const Settings& settings) {
    auto image = X11ShmImage::create(*connection, settings.screenArea.width,
                                     settings.screenArea.height);
    if (auto* error = std::get_if<Error>(&image)) return *error;
    std::unique_ptr<X11CaptureLoop> loop(new X11CaptureLoop(std::move(connection), settings));
    loop->image_ = std::move(std::get<std::unique_ptr<X11ShmImage>>(image));
    loop->damage_ = std::make_unique<X11DamageWatch>(*loop->connection_, settings.screenArea);
    if (!loop->damage_->available())
        loop->previousRows_.resize(size_t(settings.screenArea.width) * 4 * size_t(settings.screenArea.height));
    if (settings.showsCursor) loop->cursor_ = std::make_unique<X11Cursor>(*loop->connection_);
    int randrErrorBase = 0;
    ::Display* display = loop->connection_->display();
    if (XRRQueryExtension(display, &loop->randrEventBase_, &randrErrorBase)) {
        XRRSelectInput(display, DefaultRootWindow(display),
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
    } else {
        loop->randrEventBase_ = -1;
    }
    loop->wakeFd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!loop->wakeFd_.valid()) return Error{kDisplayConnectionFailed, "cannot make an event descriptor for the capture"};
    XFlush(loop->connection_->display());
    return loop;
}

X11CaptureLoop::X11CaptureLoop(std::unique_ptr<X11Connection> connection, const Settings& settings)
    : settings_(settings),
      connection_(std::move(connection)),
      updater_(Nv12Converter(settings.screenArea.width, settings.screenArea.height, settings.width,
                             settings.height, settings.destination)),
      pool_(settings.width, settings.height, settings.pictures) {}

X11CaptureLoop::~X11CaptureLoop() {
    cursor_.reset();
    damage_.reset();
    image_.reset();
}

void X11CaptureLoop::stop() {
    stopping_ = true;
    wake();
}

void X11CaptureLoop::setFramesWanted(bool wanted) {
    if (wanted_.exchange(wanted) != wanted) wake();
}

void X11CaptureLoop::wake() {
    uint64_t one = 1;
    if (write(wakeFd_.get(), &one, sizeof one) < 0) {
        // The counter is full: the loop has been woken already.
    }
}

void X11CaptureLoop::run(const CaptureSource::Deliver& deliver,
                         const CaptureSource::Stopped& stopped) {
    const uint64_t interval = settings_.frameInterval;
    uint64_t next = 0;      // the earliest time of the next frame
    bool watching = false;  // frames were wanted on the previous turn
    while (!stopping_) {
        takeEvents();
        if (connection_->lost()) break;
        if (layoutChanged_) followLayout();
        if (!wanted_.load()) {
            // Nothing is read; the server collects the damage until somebody looks again.
            if (watching && cursor_) cursor_->reportMotion(false);
            watching = false;
            wait(-1);
            continue;
        }
        const uint64_t now = uptimeNanoseconds();
        if (!watching) {
            watching = true;
            refreshAll_ = true;
            next = now;
            if (cursor_) cursor_->reportMotion(true);
        }
        if (now >= next) {
            collectChanges(now);
            // Without DAMAGE every frame time reads the screen; with it, a frame time
            // passes unused until something changes, and the change is read at once.
            if (refreshAll_ || !pending_.empty() || !damage_->available()) {
                if (refreshAll_ || !pending_.empty()) captureFrame(deliver);
                next += interval;
                if (next <= now) next = now + interval;
            }
        }
        // The round trips above may have read events into Xlib's queue, where waiting
        // on the socket would not see them. Taking events also sends what is buffered.
        takeEvents();
        if (connection_->lost()) break;
        if (!wanted_.load()) continue;
        const uint64_t later = uptimeNanoseconds();
        const int64_t untilNext = next > later ? int64_t(next - later) : 0;
        if (refreshAll_ || !pending_.empty() || damage_->pending() || !damage_->available())
            wait(untilNext);
        else if (cursor_)
            wait(std::max(untilNext, int64_t(cursor_->nextCheck(interval)) - int64_t(later)));
        else wait(-1);
    }
    if (connection_->lost() && !stopping_)
        stopped(Error{kDisplayConnectionFailed, "lost the connection to X display \"" + connection_->name() + "\""});
}

void X11CaptureLoop::takeEvents() {
    ::Display* display = connection_->display();
    while (connection_->checkAlive() && XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        if (randrEventBase_ >= 0 && event.type >= randrEventBase_ &&
            event.type <= randrEventBase_ + RRNotify) {
            XRRUpdateConfiguration(&event);
            layoutChanged_ = true;
            continue;
        }
        if (!damage_->handle(event) && cursor_) cursor_->handle(event);
    }
}

PixelRect X11CaptureLoop::currentArea() {
    ::Display* display = connection_->display();
    const int screen = DefaultScreen(display);
    const PixelRect whole{0, 0, DisplayWidth(display, screen), DisplayHeight(display, screen)};
    if (settings_.monitor < 0) return whole;
    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, RootWindow(display, screen), False, &count);
    if (!monitors) return whole;  // no RandR 1.5: the screen is the one monitor
    PixelRect area = settings_.screenArea;  // a monitor gone for now: keep what was read
    if (settings_.monitor < count) {
        const XRRMonitorInfo& m = monitors[settings_.monitor];
        area = intersection(PixelRect{m.x, m.y, m.width, m.height}, whole);
    }
    XRRFreeMonitors(monitors);
    return area;
}

void X11CaptureLoop::followLayout() {
    layoutChanged_ = false;
    const PixelRect area = currentArea();
    if (connection_->lost() || area.empty() || area == settings_.screenArea) return;
    auto image = X11ShmImage::create(*connection_, area.width, area.height);
    if (std::get_if<Error>(&image)) return;  // the old rectangle stays; tried again at the next notice
    settings_.screenArea = area;
    settings_.destination = Nv12Converter::area(
        fittedRect(area.width, area.height, settings_.width, settings_.height), settings_.width,
        settings_.height);
    image_ = std::move(std::get<std::unique_ptr<X11ShmImage>>(image));
    damage_.reset();
    damage_ = std::make_unique<X11DamageWatch>(*connection_, area);
    previousRows_.assign(damage_->available() ? 0 : size_t(area.width) * 4 * size_t(area.height), 0);
    updater_ = PictureUpdater(Nv12Converter(area.width, area.height, settings_.width,
                                            settings_.height, settings_.destination));
    // Pictures numbered by the old scaling must not be brought up to date by the new one.
    pool_ = ImageBufferPool(settings_.width, settings_.height, settings_.pictures);
    pending_.clear();
    refreshAll_ = true;
    resized_ = true;
}

void X11CaptureLoop::collectChanges(uint64_t now) {
    if (!damage_->available()) compareRows();
    else if (damage_->pending() || refreshAll_) damage_->takeDamage(pending_);
    if (cursor_ && now >= cursor_->nextCheck(settings_.frameInterval)) {
        const PixelRect& area = settings_.screenArea;
        auto inArea = [&area](const PixelRect& r) {
            return PixelRect{r.x - area.x, r.y - area.y, r.width, r.height};
        };
        const PixelRect before = inArea(cursor_->shown());
        if (cursor_->update(area, now)) {
            pending_.push_back(before);
            pending_.push_back(inArea(cursor_->shown()));
        }
    }
    // Kept short while no picture is free to take them.
    coalesce(pending_, kGrabSlack, kMostGrabs);
}

void X11CaptureLoop::compareRows() {
    const PixelRect& area = settings_.screenArea;
    if (!image_->grabScratch(area.x, area.y)) return;
    const uint8_t* now = image_->scratch();
    const size_t stride = image_->stride();
    const size_t rowBytes = size_t(area.width) * 4;
    int first = -1;  // first row of the current run of changed rows
    for (int row = 0; row <= area.height; ++row) {
        uint8_t* before = previousRows_.data() + rowBytes * size_t(row);
        const uint8_t* after = now + stride * size_t(row);
        if (row < area.height && std::memcmp(before, after, rowBytes) != 0) {
            std::memcpy(before, after, rowBytes);
            if (first < 0) first = row;
        } else if (first >= 0) {
            pending_.push_back(PixelRect{0, first, area.width, row - first});
            first = -1;
        }
    }
}

bool X11CaptureLoop::fetch(const PixelRect& part) {
    const PixelRect& area = settings_.screenArea;
    if (damage_->available()) return image_->grab(area.x, area.y, part);
    // Without DAMAGE the whole area was just read into the scratch picture.
    const PixelRect r = intersection(part, PixelRect{0, 0, area.width, area.height});
    const size_t stride = image_->stride();
    for (int row = r.y; row < r.bottom(); ++row) {
        const size_t offset = stride * size_t(row) + 4 * size_t(r.x);
        std::memcpy(image_->data() + offset, image_->scratch() + offset, 4 * size_t(r.width));
    }
    return true;
}

bool X11CaptureLoop::captureFrame(const CaptureSource::Deliver& deliver) {
    std::shared_ptr<ImageBuffer> picture = pool_.acquire();
    if (!picture) return false;
    const PixelRect& area = settings_.screenArea;
    if (refreshAll_) pending_.assign(1, PixelRect{0, 0, area.width, area.height});
    bool drawCursor = false;
    if (cursor_) {
        // Where the cursor is read again it is drawn again, over fresh pixels only: so
        // all of it is read.
        const PixelRect shown = cursor_->shown();
        const PixelRect at{shown.x - area.x, shown.y - area.y, shown.width, shown.height};
        drawCursor = !at.empty() && std::any_of(pending_.begin(), pending_.end(),
                                                [&at](const PixelRect& r) { return overlaps(r, at); });
        if (drawCursor) {
            pending_.push_back(at);
            coalesce(pending_, kGrabSlack, kMostGrabs);
        }
    }
    for (const PixelRect& part : pending_) {
        if (!fetch(part)) {
            refreshAll_ = true;  // the copy may now be half old, half new
            return false;
        }
    }
    if (drawCursor) cursor_->draw(image_->data(), image_->stride(), area);
    if (!updater_.update(image_->data(), image_->stride(), pending_, refreshAll_, *picture))
        return false;
    refreshAll_ = false;
    pending_.clear();

    auto sample = std::make_shared<SampleBuffer>();
    sample->imageBuffer = std::move(picture);
    sample->attachments = AttachmentsArray{{{kStreamFrameInfoStatus, int64_t(kFrameStatusComplete)}}};
    if (resized_) (*sample->attachments)[0][kStreamFrameInfoScreenResized] = true;
    resized_ = false;
    sample->presentationTime = hostTime();
    deliver(std::move(sample));
    return true;
}

void X11CaptureLoop::wait(int64_t nanoseconds) {
    pollfd watched[2] = {{connection_->fileDescriptor(), POLLIN, 0}, {wakeFd_.get(), POLLIN, 0}};
    timespec timeout{nanoseconds / 1000000000, nanoseconds % 1000000000};
    ppoll(watched, 2, nanoseconds < 0 ? nullptr : &timeout, nullptr);
    if (watched[1].revents & POLLIN) {
        uint64_t count = 0;
        if (read(wakeFd_.get(), &count, sizeof count) < 0) {
            // Already drained.
        }
    }
}

}  // namespace vx
