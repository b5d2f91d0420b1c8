#pragma once
// Counts the calls of a callback, for tests that wait for one.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace vx::test {

// Counts calls of the callback it hands out; the count outlives whoever calls it.
class CallCounter {
public:
    std::function<void()> callback() {
        return [state = state_] {
            std::lock_guard<std::mutex> guard(state->mutex);
            ++state->count;
            state->changed.notify_all();
        };
    }
    int count() const {
        std::lock_guard<std::mutex> guard(state_->mutex);
        return state_->count;
    }
    bool waitFor(int count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        std::unique_lock<std::mutex> lock(state_->mutex);
        return state_->changed.wait_for(lock, timeout, [&] { return state_->count >= count; });
    }

private:
    struct State {
        mutable std::mutex mutex;
        std::condition_variable changed;
        int count = 0;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace vx::test
