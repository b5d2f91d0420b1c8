#pragma once
// Which running applications an audio capture leaves out: every one whose bundle
// identifier is the companion's (kCompanionIdentity) or one that the content filter
// excluded at the start, whenever it runs. A backend whose filter holds the
// applications themselves (ScreenCaptureKit's holds the processes listed when it
// was built) reads the running applications again from time to time and asks
// update() whether the filter has to be built anew: an excluded application
// launched, quit, or quit and launched again as a new process.
//
// Not thread-safe: one thread at a time.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/running_applications.h"

namespace vx {

class ApplicationExclusion {
public:
    // named: the applications the filter excluded; only their identifiers count,
    // and empty ones match nothing.
    explicit ApplicationExclusion(const std::vector<RunningApplication>& named);

    bool excludes(const RunningApplication& application) const;

    // The positions in running of the applications to leave out, in list order.
    std::vector<size_t> excluded(const std::vector<RunningApplication>& running) const;

    // For a fresh list of the running applications: the positions to leave out
    // when they are not the processes applied last (nothing applied yet counts as
    // different), else nothing. What it returns counts as applied from then on.
    std::optional<std::vector<size_t>> update(const std::vector<RunningApplication>& running);

    // What update() last returned could not be applied: the next update returns
    // its positions whatever they are.
    void forget();

private:
    using Process = std::pair<std::string, int64_t>;  // bundle identifier, process identifier

    std::set<std::string> identities_;
    std::optional<std::set<Process>> applied_;
};

}  // namespace vx
