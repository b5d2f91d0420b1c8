#pragma once
// A serial queue: one named thread that runs submitted work one item at a time,
// in submission order. Used for the capture outputs' sample handlers, the
// idle-repeat timer and the platform's own event loops.
//
// The queue lives as long as someone holds it; its thread drains what was
// submitted before it was released and then ends. Work may be submitted from any
// thread, including the queue's own.
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace vx {

class SerialQueue {
public:
    static std::shared_ptr<SerialQueue> create(std::string label);
    ~SerialQueue();

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }
    void async(std::function<void()> work);
    // True on the queue's own thread.
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    // What the queue's thread works on; shared with the thread, so that a queue
    // released from one of its own work items does not pull the state from under it.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> work;
        bool closing = false;
    };

    explicit SerialQueue(std::string label);
    static void run(const std::shared_ptr<State>& state);

    std::string label_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::thread thread_;
};

}  // namespace vx
