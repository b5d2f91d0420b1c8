#include "platform/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <vector>

#include "platform/media_time.h"
#include "platform/timer_source.h"

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

TEST(TimerSourceTest, TicksOnItsQueueAfterTheDeadlineAndThenEveryInterval) {
    auto queue = SerialQueue::create("vx-capture.timer");
    auto timer = TimerSource::create(queue);
    std::mutex mutex;
    std::vector<uint64_t> ticks;
    bool onQueue = true;
    uint64_t installed = uptimeNanoseconds();
    timer->schedule(installed + 50'000'000, 20'000'000, 0);
    timer->setEventHandler([&] {
        std::lock_guard<std::mutex> guard(mutex);
        onQueue = onQueue && queue->isCurrent();
        ticks.push_back(uptimeNanoseconds());
    });
    timer->resume();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    timer->cancel();
    std::lock_guard<std::mutex> guard(mutex);
    ASSERT_GE(ticks.size(), 3u);
    EXPECT_TRUE(onQueue);
    EXPECT_GE(ticks.front(), installed + 50'000'000) << "no tick before the deadline";
    // Generous bound: about 18 ticks fit in 350 ms; never far more than that.
    EXPECT_LE(ticks.size(), 19u);
}

TEST(TimerSourceTest, ASlowHandlerDoesNotPileUpTicks) {
    auto queue = SerialQueue::create("vx-capture.timer");
    auto timer = TimerSource::create(queue);
    std::atomic<int> ticks{0};
    timer->schedule(uptimeNanoseconds(), 5'000'000, 0);
    timer->setEventHandler([&] {
        ticks++;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    });
    timer->resume();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    timer->cancel();
    // Without coalescing, 60 ticks would be queued behind the slow handler.
    EXPECT_LE(ticks.load(), 8);
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
