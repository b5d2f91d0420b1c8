// The bounded queue between the audio queue and standard output: what stays when
// the bound is passed, and that buffers come out whole and in order.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "audio/pcm_queue.h"

namespace vx {
namespace {

// A buffer of size bytes, every byte the tag.
std::vector<uint8_t> tagged(uint8_t tag, size_t size) { return std::vector<uint8_t>(size, tag); }

// Tags of the buffers left, in the order pop() gives them; each must be whole.
std::vector<int> drain(PcmQueue& queue, const std::vector<size_t>& sizes) {
    queue.close();
    std::vector<int> tags;
    while (auto buffer = queue.pop()) {
        EXPECT_FALSE(buffer->empty());
        const uint8_t tag = buffer->front();
        EXPECT_EQ(*buffer, tagged(tag, sizes.at(tag))) << "buffer " << int(tag) << " came out cut";
        tags.push_back(tag);
    }
    return tags;
}

TEST(PcmQueueTest, DropsTheOldestWholeBuffersBeyondTheBound) {
    struct Case {
        std::string name;
        size_t maxBytes;
        size_t maxBuffers;
        std::vector<size_t> sizes;  // pushed in order; buffer i is tagged i
        std::vector<int> kept;
        uint64_t dropped;
    };
    const std::vector<Case> cases = {
        {"within the bound nothing is dropped", 12, 8, {4, 4, 4}, {0, 1, 2}, 0},
        {"one byte over drops the oldest", 11, 8, {4, 4, 4}, {1, 2}, 1},
        {"a large newest buffer drops all the older ones", 12, 8, {4, 4, 4, 12}, {3}, 3},
        {"the newest buffer stays even when it alone passes the bound", 10, 8, {4, 40}, {1}, 1},
        {"an older buffer passing the bound goes once a newer one comes", 10, 8, {40, 4}, {1}, 1},
        {"the buffer count bounds small buffers", 1000, 3, {1, 1, 1, 1, 1}, {2, 3, 4}, 2},
        {"a bound of 0 keeps the newest buffer only", 0, 8, {2, 2, 2}, {2}, 2},
        {"empty buffers are not queued", 8, 2, {4, 0, 0, 4}, {0, 3}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PcmQueue queue(c.maxBytes, c.maxBuffers);
        for (size_t i = 0; i < c.sizes.size(); ++i) queue.push(tagged(uint8_t(i), c.sizes[i]));
        size_t keptBytes = 0;
        for (int tag : c.kept) keptBytes += c.sizes[size_t(tag)];
        EXPECT_EQ(queue.queuedBytes(), keptBytes);
        EXPECT_EQ(queue.droppedBuffers(), c.dropped);
        EXPECT_EQ(drain(queue, c.sizes), c.kept);
        EXPECT_EQ(queue.queuedBytes(), 0u);
    }
}

TEST(PcmQueueTest, PopWaitsForABufferAndEndsAtTheClose) {
    PcmQueue queue(100, 4);
    auto first = std::async(std::launch::async, [&] { return queue.pop(); });
    EXPECT_EQ(first.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
        << "pop() returned with nothing queued";
    queue.push(tagged(7, 3));
    ASSERT_EQ(first.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(first.get(), tagged(7, 3));

    auto last = std::async(std::launch::async, [&] { return queue.pop(); });
    queue.close();
    ASSERT_EQ(last.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(last.get(), std::nullopt);
}

TEST(PcmQueueTest, AfterTheCloseWhatWasQueuedComesOutAndNothingMoreGoesIn) {
    PcmQueue queue(100, 4);
    queue.push(tagged(1, 2));
    queue.close();
    queue.push(tagged(2, 2));
    EXPECT_EQ(queue.pop(), tagged(1, 2));
    EXPECT_EQ(queue.pop(), std::nullopt);
    EXPECT_EQ(queue.pop(), std::nullopt);
}

}  // namespace
}  // namespace vx
