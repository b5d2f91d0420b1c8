#include "platform/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <future>
#include <vector>

#include "platform/media_time.h"
#include "platform/timer_source.h"
#include "tests/platform/manual_clock.h"

namespace vx {
namespace {

TEST(SerialQueueTest, RunsWorkOneAtATimeInSubmissionOrder) {
    auto queue = SerialQueue::create("vx-capture.test");
    std::vector<int> order;
    std::atomic<int> running{0};
    bool overlapped = false;
    std::promise<void> done;
    for (int i = 0; i < 100; ++i) {
        queue->async([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            order.push_back(i);
            running.fetch_sub(1);
            if (i == 99) done.set_value();
        });
    }
    done.get_future().wait();
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST(SerialQueueTest, DrainsSubmittedWorkWhenReleased) {
    std::atomic<int> ran{0};
    {
        auto queue = SerialQueue::create("vx-capture.test");
        for (int i = 0; i < 10; ++i) queue->async([&] { ran++; });
    }
    EXPECT_EQ(ran.load(), 10);
}

// Ticks a timer's handler has run, for tests that wait for the next one.
class TickLog {
public:
    std::function<void()> handler(std::shared_ptr<SerialQueue> queue, std::function<void()> during = {}) {
        return [this, queue, during] {
            {
                std::lock_guard<std::mutex> guard(mutex_);
                onQueue_ = onQueue_ && queue->isCurrent();
                ++count_;
            }
            changed_.notify_all();
            if (during) during();
        };
    }
    bool waitFor(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return count_ >= count; });
    }
    int count() {
        std::lock_guard<std::mutex> guard(mutex_);
        return count_;
    }
    bool allOnQueue() {
        std::lock_guard<std::mutex> guard(mutex_);
        return onQueue_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
    bool onQueue_ = true;
};

// Long enough for the timer's thread to act on a clock that has moved, were it going to.
void settle() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

TEST(TimerSourceTest, TicksOnItsQueueAtTheDeadlineAndThenOncePerInterval) {
    TickLog ticks;  // outlives the queue that calls it
    auto clock = std::make_shared<test::ManualClock>();
    auto queue = SerialQueue::create("vx-capture.timer");
    auto timer = TimerSource::create(queue, clock);
    timer->schedule(clock->uptimeNanoseconds() + 50'000'000, 20'000'000, 0);
    timer->setEventHandler(ticks.handler(queue));
    timer->resume();

    clock->advance(std::chrono::milliseconds(49));
    settle();
    EXPECT_EQ(ticks.count(), 0) << "no tick before the deadline";
    clock->advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(ticks.waitFor(1));
    for (int n = 2; n <= 10; ++n) {
        clock->advance(std::chrono::milliseconds(19));
        settle();
        EXPECT_EQ(ticks.count(), n - 1) << "a tick before its interval was up";
        clock->advance(std::chrono::milliseconds(1));
        ASSERT_TRUE(ticks.waitFor(n));
    }
    timer->cancel();
    clock->advance(std::chrono::milliseconds(100));
    settle();
    EXPECT_EQ(ticks.count(), 10) << "no tick after cancel()";
    EXPECT_TRUE(ticks.allOnQueue());
}

TEST(TimerSourceTest, ASlowHandlerDoesNotPileUpTicks) {
    TickLog ticks;
    auto clock = std::make_shared<test::ManualClock>();
    auto queue = SerialQueue::create("vx-capture.timer");
    auto timer = TimerSource::create(queue, clock);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    timer->schedule(clock->uptimeNanoseconds() + 5'000'000, 5'000'000, 0);
    timer->setEventHandler(ticks.handler(queue, [&ticks, released] {
        if (ticks.count() == 1) released.wait();  // the first tick takes its time
    }));
    timer->resume();
    clock->advance(std::chrono::milliseconds(5));
    ASSERT_TRUE(ticks.waitFor(1));
    for (int i = 0; i < 20; ++i) {  // twenty intervals pass while the handler runs
        clock->advance(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    release.set_value();
    ASSERT_TRUE(ticks.waitFor(2));
    settle();
    EXPECT_EQ(ticks.count(), 2) << "the ticks that fell due meanwhile make one, not twenty";
    clock->advance(std::chrono::milliseconds(5));
    ASSERT_TRUE(ticks.waitFor(3));
    timer->cancel();
}

TEST(TimerSourceTest, TicksOnTheHostClock) {
    // The one check on real time: generous bounds only.
    TickLog ticks;
    std::atomic<uint64_t> first{0};
    auto queue = SerialQueue::create("vx-capture.timer");
    auto timer = TimerSource::create(queue);
    const uint64_t installed = uptimeNanoseconds();
    timer->schedule(installed + 20'000'000, 20'000'000, 0);
    timer->setEventHandler(ticks.handler(queue, [&first] {
        uint64_t none = 0;
        first.compare_exchange_strong(none, uptimeNanoseconds());
    }));
    timer->resume();
    EXPECT_TRUE(ticks.waitFor(3));
    timer->cancel();
    EXPECT_GE(first.load(), installed + 20'000'000) << "no tick before the deadline";
}

}  // namespace
}  // namespace vx

namespace vx {
namespace {

TEST(SerialQueueTest, MayBeReleasedFromItsOwnWork) {
    auto queue = SerialQueue::create("vx-capture.test");
    auto holder = std::make_shared<std::shared_ptr<SerialQueue>>(queue);
    std::promise<void> othersLetGo;
    auto letGo = othersLetGo.get_future().share();
    // The work drops the last reference to the queue while running on it; the
    // queue's thread must then finish without touching the released queue.
    queue->async([holder, letGo] {
        letGo.wait();
        holder->reset();
    });
    std::weak_ptr<std::shared_ptr<SerialQueue>> workDone = holder;
    queue.reset();
    holder.reset();
    othersLetGo.set_value();
    for (int i = 0; i < 500 && !workDone.expired(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(workDone.expired());
}

}  // namespace
}  // namespace vx
