#pragma once
// The framework's side of the shareable content: the program passes displays and
// applications on as plain values (identifiers), and the content filter needs
// ScreenCaptureKit's own objects for them. getShareableContent() keeps the
// framework's answer for that; the lookups below read the latest one. Any
// thread. Objective-C++ (ARC) only.
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <cstdint>
#include <vector>

#include "platform/shareable_content.h"

namespace vx {

class FrameworkContent {
public:
    static void remember(SCShareableContent* content);

    // The listed display with that identifier, or nil.
    static SCDisplay* display(uint32_t displayID);
    // Every listed application whose bundle identifier is among those of applications.
    static NSArray<SCRunningApplication*>* applications(
        const std::vector<RunningApplication>& applications);

    // content's applications in its order, with their bundle identifiers (empty
    // when they have none) and processes; the latest answer's when content is nil.
    static std::vector<RunningApplication> runningApplications(SCShareableContent* content = nil);
};

}  // namespace vx
