#pragma once
// The boundary's content filter and stream configuration as ScreenCaptureKit's
// SCContentFilter and SCStreamConfiguration. Built once per stream, on the
// thread that creates it. Objective-C++ (ARC) only.
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <optional>

#include "platform/error.h"
#include "platform/macos/cf_ref.h"
#include "platform/stream_configuration.h"

namespace vx {

struct StreamSettings {
    SCContentFilter* filter = nil;                // nil when error is set
    SCStreamConfiguration* configuration = nil;
    // A background colour made here (any other than the constant black); the
    // configuration does not retain it, so it lives as long as the settings.
    CFRef<CGColorRef> backgroundColor;
    std::optional<Error> error;
};

// The filter takes the display and the applications as the framework listed them
// in the latest shareable content; a display not listed there is an error.
StreamSettings streamSettings(const ContentFilter& filter, const StreamConfiguration& configuration);

}  // namespace vx
