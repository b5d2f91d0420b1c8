#include "platform/macos/framework_content.h"

#include <mutex>

namespace vx {

namespace {

std::mutex contentLock;               // guards latestContent
SCShareableContent* latestContent;    // strong (ARC); nil until the first answer

SCShareableContent* latest() {
    std::lock_guard<std::mutex> guard(contentLock);
    return latestContent;
}

}  // namespace

void FrameworkContent::remember(SCShareableContent* content) {
    std::lock_guard<std::mutex> guard(contentLock);
    latestContent = content;
}

SCDisplay* FrameworkContent::display(uint32_t displayID) {
    for (SCDisplay* display in latest().displays)
        if (display.displayID == displayID) return display;
    return nil;
}

NSArray<SCRunningApplication*>* FrameworkContent::applications(
    const std::vector<RunningApplication>& applications) {
    NSMutableArray<SCRunningApplication*>* found = [NSMutableArray array];
    for (SCRunningApplication* application in latest().applications) {
        const char* identifier = application.bundleIdentifier.UTF8String;
        if (!identifier) continue;
        for (const RunningApplication& wanted : applications) {
            if (wanted.bundleIdentifier == identifier) {
                [found addObject:application];
                break;
            }
        }
    }
    return found;
}

std::vector<RunningApplication> FrameworkContent::runningApplications(SCShareableContent* content) {
    std::vector<RunningApplication> result;
    for (SCRunningApplication* application in (content ? content : latest()).applications) {
        const char* identifier = application.bundleIdentifier.UTF8String;
        result.push_back(RunningApplication{identifier ? std::string(identifier) : std::string(),
                                            int64_t(application.processID)});
    }
    return result;
}

}  // namespace vx
