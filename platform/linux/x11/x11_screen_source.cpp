#include "platform/linux/x11/x11_screen_source.h"

#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/linux/screen_settings.h"
#include "platform/linux/x11/x11_capture_loop.h"
#include "platform/linux/x11/x11_connection.h"
#include "platform/linux/x11/x11_deadline.h"

#include <X11/Xlib.h>

namespace vx {

X11ScreenSource::X11ScreenSource(const ContentFilter& filter,
                                 const StreamConfiguration& configuration)
    : filter_(filter), configuration_(configuration) {}

X11ScreenSource::~X11ScreenSource() {
    if (loop_) loop_->stop();
    if (thread_.joinable()) thread_.join();
}

void X11ScreenSource::setFramesWanted(bool wanted) {
    std::lock_guard<std::mutex> guard(mutex_);
    wanted_ = wanted;
    if (loop_) loop_->setFramesWanted(wanted);
}

namespace {

using Created = std::variant<std::unique_ptr<X11CaptureLoop>, Error>;

// Connects to $DISPLAY and prepares the capture of the filter's monitor: every
// step here waits on the server.
Created createLoop(const ContentFilter& filter, const StreamConfiguration& configuration) {
    auto opened = X11Connection::open();
    if (auto* error = std::get_if<Error>(&opened)) return *error;
    auto connection = std::move(std::get<std::unique_ptr<X11Connection>>(opened));

    ::Display* display = connection->display();
    const int screenWidth = DisplayWidth(display, DefaultScreen(display));
    const int screenHeight = DisplayHeight(display, DefaultScreen(display));
    const Display& monitor = filter.display;
    X11CaptureLoop::Settings settings;
    if (monitor.width <= 0 || monitor.height <= 0) {
        settings.screenArea = PixelRect{0, 0, screenWidth, screenHeight};
    } else {
        int left = int(std::clamp<int64_t>(monitor.x, 0, screenWidth));
        int top = int(std::clamp<int64_t>(monitor.y, 0, screenHeight));
        int right = int(std::clamp<int64_t>(monitor.x + monitor.width, 0, screenWidth));
        int bottom = int(std::clamp<int64_t>(monitor.y + monitor.height, 0, screenHeight));
        settings.screenArea = PixelRect{left, top, right - left, bottom - top};
        settings.monitor = int(monitor.displayID);
    }
    if (settings.screenArea.width <= 0 || settings.screenArea.height <= 0)
        return Error{kDisplayConnectionFailed, "display " + std::to_string(monitor.displayID) +
                             " lies outside the X screen"};
    settings.width = int(configuration.width) & ~1;
    settings.height = int(configuration.height) & ~1;
    std::optional<Rect> destination;
    if (configuration.hasDestinationRect) destination = configuration.destinationRect;
    settings.destination = Nv12Converter::area(destination, settings.width, settings.height);
    settings.frameInterval = frameIntervalNanoseconds(configuration.minimumFrameInterval);
    settings.showsCursor = configuration.showsCursor;
    settings.pictures = int(std::clamp<int64_t>(configuration.queueDepth, 3, 16));
    return X11CaptureLoop::create(std::move(connection), settings);
}

}  // namespace

std::optional<Error> X11ScreenSource::start(Deliver deliver, Stopped stopped) {
    if (loop_) return Error{kDisplayConnectionFailed, "the screen capture is already running"};
    if (auto refused = refusedPictureSize(configuration_.width, configuration_.height))
        return refused;
    const char* variable = std::getenv("DISPLAY");
    const std::string name = variable ? variable : "";
    std::optional<Created> answer = answerWithin(
        kX11AnswerDeadline,
        [filter = filter_, configuration = configuration_] { return createLoop(filter, configuration); });
    if (!answer) return Error{kDisplayConnectionFailed, x11DidNotAnswer(name)};
    Created& created = *answer;
    if (auto* error = std::get_if<Error>(&created)) return *error;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        loop_ = std::move(std::get<std::unique_ptr<X11CaptureLoop>>(created));
        loop_->setFramesWanted(wanted_);
    }
    thread_ = std::thread([loop = loop_, deliver = std::move(deliver), stopped = std::move(stopped)] {
        loop->run(deliver, stopped);
    });
    pthread_setname_np(thread_.native_handle(), "vx-capture.x11");
    return std::nullopt;
}

}  // namespace vx
