#pragma once
// The running applications of a shareable content: an ordered list, possibly
// empty. A backend that has to ask another process for them (a sound server) may
// hand over a lister instead, which runs when the list is first read, on the
// reading thread and blocking it; a caller that never reads them never waits.
// Read by one thread at a time. Copies made before the first read list again.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vx {

struct RunningApplication {
    std::string bundleIdentifier;
    // The application's process, where the platform tells it (0 where it does not):
    // an application that quits and starts again is the same identifier in a new process.
    int64_t processID = 0;
};

class RunningApplications {
public:
    using List = std::vector<RunningApplication>;
    using Lister = std::function<List()>;

    RunningApplications() = default;
    RunningApplications(List list) : list_(std::move(list)) {}
    explicit RunningApplications(Lister lister) : lister_(std::move(lister)) {}

    const List& list() const {
        if (!list_) list_ = lister_ ? lister_() : List{};
        return *list_;
    }
    List::const_iterator begin() const { return list().begin(); }
    List::const_iterator end() const { return list().end(); }
    size_t size() const { return list().size(); }
    bool empty() const { return list().empty(); }
    const RunningApplication& operator[](size_t i) const { return list()[i]; }

    void push_back(RunningApplication application) {
        list();
        list_->push_back(std::move(application));
    }

private:
    Lister lister_;
    mutable std::optional<List> list_;
};

}  // namespace vx
