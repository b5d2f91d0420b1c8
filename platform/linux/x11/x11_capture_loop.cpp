#include "platform/linux/x11/x11_capture_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/linux/x11/x11_connection.h"
#include "platform/linux/x11/x11_cursor.h"
#include "platform/linux/x11/x11_damage_watch.h"
#include "platform/linux/x11/x11_shm_image.h"
#include "platform/media_time.h"

#include <X11/Xlib.h>

namespace vx {

std::variant<std::unique_ptr<X11CaptureLoop>, Error> X11CaptureLoop::create(
    std::unique_ptr<X11Connection> connection, const Settings& settings) {
    auto image = X11ShmImage::create(*connection, settings.screenArea.width,
                                     settings.screenArea.height);
    if (auto* error = std::get_if<Error>(&image)) return *error;
    std::unique_ptr<X11CaptureLoop> loop(new X11CaptureLoop(std::move(connection), settings));
    loop->image_ = std::move(std::get<std::unique_ptr<X11ShmImage>>(image));
    loop->damage_ = std::make_unique<X11DamageWatch>(*loop->connection_, settings.screenArea);
    if (settings.showsCursor) loop->cursor_ = std::make_unique<X11Cursor>(*loop->connection_);
    loop->wakeFd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!loop->wakeFd_.valid()) return Error{kDisplayConnectionFailed, "cannot make an event descriptor for the capture"};
    XFlush(loop->connection_->display());
    return loop;
}

X11CaptureLoop::X11CaptureLoop(std::unique_ptr<X11Connection> connection, const Settings& settings)
    : settings_(settings),
      connection_(std::move(connection)),
      converter_(settings.screenArea.width, settings.screenArea.height, settings.width,
                 settings.height, settings.destination),
      pool_(settings.width, settings.height, settings.pictures) {}

X11CaptureLoop::~X11CaptureLoop() {
    cursor_.reset();
    damage_.reset();
    image_.reset();
}

void X11CaptureLoop::stop() {
    stopping_ = true;
    uint64_t one = 1;
    if (write(wakeFd_.get(), &one, sizeof one) < 0) {
        // The counter is full: the loop has been woken already.
    }
}

void X11CaptureLoop::run(const CaptureSource::Deliver& deliver,
                         const CaptureSource::Stopped& stopped) {
    const uint64_t interval = settings_.frameInterval;
    uint64_t next = uptimeNanoseconds();  // the earliest time of the next grab
    bool changed = true;                  // the first frame is always delivered
    while (!stopping_) {
        takeEvents();
        if (connection_->lost()) break;
        const uint64_t now = uptimeNanoseconds();
        if (now >= next) {
            if (damage_->pending() && damage_->takeChange()) changed = true;
            if (cursor_ && cursor_->update(settings_.screenArea)) changed = true;
            if (changed) {
                if (captureFrame(deliver)) changed = false;
                next += interval;
                if (next <= now) next = now + interval;
            }
        }
        // The round trips above may have read events into Xlib's queue, where waiting
        // on the socket would not see them. Taking events also sends what is buffered.
        takeEvents();
        if (connection_->lost()) break;
        const uint64_t later = uptimeNanoseconds();
        const int64_t untilNext = next > later ? int64_t(next - later) : 0;
        if (changed || damage_->pending()) wait(untilNext);
        else if (cursor_) wait(std::max<int64_t>(untilNext, int64_t(interval)));
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
        if (!damage_->handle(event) && cursor_) cursor_->handle(event);
    }
}

bool X11CaptureLoop::captureFrame(const CaptureSource::Deliver& deliver) {
    std::shared_ptr<ImageBuffer> picture = pool_.acquire();
    if (!picture) return false;
    const PixelRect& area = settings_.screenArea;
    if (!image_->grab(area.x, area.y)) return false;
    if (cursor_) cursor_->draw(image_->data(), image_->stride(), area);
    if (!converter_.convert(image_->data(), image_->stride(), *picture)) return false;

    auto sample = std::make_shared<SampleBuffer>();
    sample->imageBuffer = std::move(picture);
    sample->attachments = AttachmentsArray{{{kStreamFrameInfoStatus, int64_t(kFrameStatusComplete)}}};
    sample->presentationTime = hostTime();
    deliver(std::move(sample));
    return true;
}

void X11CaptureLoop::wait(int64_t nanoseconds) {
    pollfd watched[2] = {{connection_->fileDescriptor(), POLLIN, 0}, {wakeFd_.get(), POLLIN, 0}};
    timespec timeout{nanoseconds / 1000000000, nanoseconds % 1000000000};
    ppoll(watched, 2, nanoseconds < 0 ? nullptr : &timeout, nullptr);
}

}  // namespace vx
