// The shareable content on macOS: ScreenCaptureKit's displays and running
// applications; the framework's answer is kept for the content filter.
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include "platform/macos/framework_error.h"
#include "platform/macos/framework_content.h"
#include "platform/shareable_content.h"

namespace vx {

namespace {

// The user's refusal reaches the program as the framework's own code.
static_assert(kUserDeclinedCapture == SCStreamErrorUserDeclined);

// The handler brought neither content nor an error.
constexpr int64_t kNoContent = SCStreamErrorNoCaptureSource;

ShareableContent shareableContent(SCShareableContent* content) {
    ShareableContent result;
    for (SCDisplay* display in content.displays) {
        const CGRect frame = display.frame;
        result.displays.push_back(Display{display.displayID, int64_t(display.width),
                                          int64_t(display.height), int64_t(frame.origin.x),
                                          int64_t(frame.origin.y)});
    }
    result.applications = FrameworkContent::runningApplications(content);
    return result;
}

ShareableContentResult answer(SCShareableContent* content, NSError* error) {
    if (error) return frameworkError(error);
    if (!content) return Error{kNoContent, "the capture framework listed no content"};
    FrameworkContent::remember(content);
    return shareableContent(content);
}

}  // namespace

void getShareableContent(bool excludingDesktopWindows, bool onScreenWindowsOnly,
                         std::function<void(ShareableContentResult)> completionHandler) {
    // This is a command-line process without an application object: make sure it
    // has its window-server connection before the capture framework is asked.
    (void)CGMainDisplayID();
    [SCShareableContent getShareableContentExcludingDesktopWindows:excludingDesktopWindows
                                               onScreenWindowsOnly:onScreenWindowsOnly
                                                 completionHandler:^(SCShareableContent* content,
                                                                     NSError* error) {
                                                   completionHandler(answer(content, error));
                                                 }];
}

}  // namespace vx
