#pragma once
// A serial queue: runs submitted work one item at a time, in submission order, on
// a thread of its own. Used for the capture outputs' sample handlers, the
// idle-repeat timer and the platform's own event loops.
//
// The queue lives as long as someone holds it; what was submitted before it was
// released still runs. Work may be submitted from any thread, including the
// queue's own, and the last reference may be released from the queue's own work.
//
// What stands behind it is the machine's: a named thread of ours on Linux and in
// the stand-in (platform/portable/), a libdispatch serial queue on macOS.
#include <functional>
#include <memory>
#include <string>

namespace vx {

class SerialQueue {
public:
    static std::shared_ptr<SerialQueue> create(std::string label);
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }
    void async(std::function<void()> work);
    // True while running on the queue's own work.
    bool isCurrent() const;

    // The machine's queue behind it, defined by the implementation that is linked in.
    struct Native;
    Native& native() const { return *native_; }

private:
    explicit SerialQueue(std::string label);

    std::string label_;
    std::unique_ptr<Native> native_;
};

}  // namespace vx
