#include "platform/linux/x11_screen_source.h"

namespace vx {

X11ScreenSource::X11ScreenSource(const ContentFilter&, const StreamConfiguration&) {}

std::optional<Error> X11ScreenSource::start(Deliver, Stopped) {
    return Error{-1, "X11 screen capture is not built yet"};
}

}  // namespace vx
