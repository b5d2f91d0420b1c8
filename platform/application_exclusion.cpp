#include "platform/application_exclusion.h"

#include "platform/companion_identity.h"

namespace vx {

ApplicationExclusion::ApplicationExclusion(const std::vector<RunningApplication>& named)
    : identities_{kCompanionIdentity} {
    for (const RunningApplication& application : named)
        if (!application.bundleIdentifier.empty()) identities_.insert(application.bundleIdentifier);
}

bool ApplicationExclusion::excludes(const RunningApplication& application) const {
    return identities_.count(application.bundleIdentifier) != 0;
}

std::vector<size_t> ApplicationExclusion::excluded(
    const std::vector<RunningApplication>& running) const {
    std::vector<size_t> positions;
    for (size_t i = 0; i < running.size(); ++i)
        if (excludes(running[i])) positions.push_back(i);
    return positions;
}

std::optional<std::vector<size_t>> ApplicationExclusion::update(
    const std::vector<RunningApplication>& running) {
    std::vector<size_t> positions = excluded(running);
    std::set<Process> processes;
    for (size_t i : positions) processes.emplace(running[i].bundleIdentifier, running[i].processID);
    if (applied_ && *applied_ == processes) return std::nullopt;
    applied_ = std::move(processes);
    return positions;
}

void ApplicationExclusion::forget() { applied_.reset(); }

}  // namespace vx
