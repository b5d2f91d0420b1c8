// The serial queue on a named thread of ours (Linux and the stand-in).
#include "platform/serial_queue.h"

#include <pthread.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace vx {

namespace {

// What the queue's thread works on; shared with the thread, so that a queue
// released from one of its own work items does not pull the state from under it.
struct State {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> work;
    bool closing = false;
};

// Thread names are limited to 15 characters; the label's tail is the telling part.
std::string threadName(const std::string& label) {
    return label.size() > 15 ? label.substr(label.size() - 15) : label;
}

void run(const std::shared_ptr<State>& state) {
    for (;;) {
        std::function<void()> next;
        {
            std::unique_lock<std::mutex> lock(state->mutex);
            state->wake.wait(lock, [&] { return state->closing || !state->work.empty(); });
            if (state->work.empty()) return;
            next = std::move(state->work.front());
            state->work.pop_front();
        }
        next();  // may release the last reference to the queue itself
    }
}

}  // namespace

struct SerialQueue::Native {
    std::shared_ptr<State> state = std::make_shared<State>();
    std::thread thread;
};

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
    return std::shared_ptr<SerialQueue>(new SerialQueue(std::move(label)));
}

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), native_(std::make_unique<Native>()) {
#ifdef __APPLE__
    // There a thread can only name itself.
    native_->thread = std::thread([state = native_->state, name = threadName(label_)] {
        pthread_setname_np(name.c_str());
        run(state);
    });
#else
    native_->thread = std::thread([state = native_->state] { run(state); });
    pthread_setname_np(native_->thread.native_handle(), threadName(label_).c_str());
#endif
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard<std::mutex> guard(native_->state->mutex);
        native_->state->closing = true;
    }
    native_->state->wake.notify_one();
    if (isCurrent()) native_->thread.detach();  // released from its own work item
    else native_->thread.join();
}

void SerialQueue::async(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> guard(native_->state->mutex);
        native_->state->work.push_back(std::move(work));
    }
    native_->state->wake.notify_one();
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == native_->thread.get_id(); }

}  // namespace vx
