#pragma once
// Keeps an audio capture's content filter leaving out the applications it excludes
// (ApplicationExclusion: the companion's, and those the filter named) also when
// they launch, or quit and launch again, after the capture started.
// ScreenCaptureKit's filter holds the processes listed when it was built, so once
// a second the running applications are read afresh (a shareable-content query)
// and, when the processes to leave out have changed, a new filter is applied to
// the running stream (updateContentFilter:completionHandler:).
//
// Why a query and not NSWorkspace's launch notifications: those reach only a
// process whose main run loop runs (ours parks its main thread in dispatch_main),
// and they are not posted for applications without a Dock icon (LSUIElement),
// which a companion that lives in the menu bar is.
//
// Started once, after the stream started; it then lives as long as the stream.
// The checks run on its own queue ("vx-capture.apps"); a failed query or update is
// tried again a second later. Objective-C++ (ARC) only.
#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <cstdint>
#include <memory>

#include "platform/application_exclusion.h"
#include "platform/serial_queue.h"
#include "platform/timer_source.h"

namespace vx {

class ExclusionWatch : public std::enable_shared_from_this<ExclusionWatch> {
public:
    // exclusion: what the stream's filter was built from (its update() has been
    // given the list the filter left out). displayID: the filter's display.
    static std::shared_ptr<ExclusionWatch> start(SCStream* stream, uint32_t displayID,
                                                 ApplicationExclusion exclusion);

private:
    ExclusionWatch(SCStream* stream, uint32_t displayID, ApplicationExclusion exclusion);
    // On queue_: asks for the shareable content, unless an answer is still awaited.
    void check();
    // On queue_: a new filter when the processes to leave out changed.
    void apply(SCShareableContent* content);

    SCStream* stream_;  // strong (ARC)
    const uint32_t displayID_;
    ApplicationExclusion exclusion_;  // on queue_ only
    bool asking_ = false;             // on queue_ only
    std::shared_ptr<SerialQueue> queue_;
    std::shared_ptr<TimerSource> timer_;
};

}  // namespace vx
