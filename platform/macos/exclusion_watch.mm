#include "platform/macos/exclusion_watch.h"

#include <optional>
#include <vector>

#include "platform/macos/framework_content.h"
#include "platform/media_time.h"

namespace vx {

namespace {

constexpr uint64_t kCheckIntervalNanoseconds = 1000000000;

}  // namespace

std::shared_ptr<ExclusionWatch> ExclusionWatch::start(SCStream* stream, uint32_t displayID,
                                                      ApplicationExclusion exclusion) {
    std::shared_ptr<ExclusionWatch> watch(
        new ExclusionWatch(stream, displayID, std::move(exclusion)));
    watch->timer_ = TimerSource::create(watch->queue_);
    watch->timer_->schedule(uptimeNanoseconds() + kCheckIntervalNanoseconds,
                            kCheckIntervalNanoseconds, kCheckIntervalNanoseconds / 10);
    std::weak_ptr<ExclusionWatch> weak = watch;
    watch->timer_->setEventHandler([weak] {
        if (auto self = weak.lock()) self->check();
    });
    watch->timer_->resume();
    return watch;
}

ExclusionWatch::ExclusionWatch(SCStream* stream, uint32_t displayID, ApplicationExclusion exclusion)
    : stream_(stream),
      displayID_(displayID),
      exclusion_(std::move(exclusion)),
      queue_(SerialQueue::create("vx-capture.apps")) {}

void ExclusionWatch::check() {
    if (asking_) return;
    asking_ = true;
    std::weak_ptr<ExclusionWatch> weak = weak_from_this();
    [SCShareableContent
        getShareableContentExcludingDesktopWindows:NO
                               onScreenWindowsOnly:NO
                                 completionHandler:^(SCShareableContent* content, NSError*) {
                                   auto self = weak.lock();
                                   if (!self) return;
                                   self->queue_->async([self, content] {
                                       self->asking_ = false;
                                       if (content) self->apply(content);
                                   });
                                 }];
}

void ExclusionWatch::apply(SCShareableContent* content) {
    const std::vector<RunningApplication> running = FrameworkContent::runningApplications(content);
    const std::optional<std::vector<size_t>> positions = exclusion_.update(running);
    if (!positions) return;
    SCDisplay* display = nil;
    for (SCDisplay* listed in content.displays)
        if (listed.displayID == displayID_) display = listed;
    NSArray<SCRunningApplication*>* listed = content.applications;
    if (!display || listed.count != running.size()) {
        exclusion_.forget();
        return;
    }
    NSMutableArray<SCRunningApplication*>* excluded = [NSMutableArray array];
    for (size_t position : *positions) [excluded addObject:listed[position]];
    SCContentFilter* filter = [[SCContentFilter alloc] initWithDisplay:display
                                                 excludingApplications:excluded
                                                      exceptingWindows:@[]];
    std::weak_ptr<ExclusionWatch> weak = weak_from_this();
    [stream_ updateContentFilter:filter
               completionHandler:^(NSError* error) {
                 auto self = weak.lock();
                 if (!error || !self) return;
                 self->queue_->async([self] { self->exclusion_.forget(); });
               }];
}

}  // namespace vx
