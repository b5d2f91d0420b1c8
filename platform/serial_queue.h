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
    explicit SerialQueue(std::string label);
    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> work_;
    bool closing_ = false;
    std::thread thread_;
};

}  // namespace vx
