#pragma once
// What can be captured: the displays and the running applications.
#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "platform/error.h"
#include "platform/running_applications.h"

namespace vx {

struct Display {
    uint32_t displayID = 0;
    int64_t width = 0;
    int64_t height = 0;
    // Where the display lies on the desktop, for backends that capture a region of
    // a larger screen (X11 monitors). Not read by the program itself.
    int64_t x = 0;
    int64_t y = 0;
};

struct ShareableContent {
    std::vector<Display> displays;                  // in the platform's order, may be empty
    RunningApplications applications;               // may be empty; may be listed when first read
};

using ShareableContentResult = std::variant<ShareableContent, Error>;

// Asks the platform for the shareable content. The handler runs exactly once, on a
// thread of the platform's, with the content or an error.
void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                         std::function<void(ShareableContentResult)> completionHandler);

}  // namespace vx
