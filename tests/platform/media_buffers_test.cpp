#include <gtest/gtest.h>

#include <thread>

#include "platform/nv12/image_buffer_pool.h"
#include "platform/sample_buffer.h"

namespace vx {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(ImageBufferPoolTest, NeverHandsOutABufferThatIsStillHeld) {
    ImageBufferPool pool(4, 2, 2);
    auto first = pool.acquire();
    auto second = pool.acquire();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first, second);
    EXPECT_EQ(pool.acquire(), nullptr) << "both buffers are held";
    ImageBuffer* released = second.get();
    second.reset();
    auto again = pool.acquire();
    EXPECT_EQ(again.get(), released) << "a released buffer is reused, not reallocated";
}

TEST(ImageBufferPoolTest, ReleaseOnAnotherThreadHappensBeforeReuse) {
    // The encoder releases buffers on its own thread while the capture thread
    // acquires them: what the releasing thread did with a buffer must be visible
    // to the next writer (a race here is what the thread sanitizer reports).
    ImageBufferPool pool(4, 2, 1);
    for (int round = 0; round < 200; ++round) {
        auto held = pool.acquire();
        ASSERT_TRUE(held);
        held->plane(0)[0] = static_cast<uint8_t>(round);
        std::thread reader([buffer = std::move(held), round] {
            EXPECT_EQ(buffer->plane(0)[0], static_cast<uint8_t>(round));
            buffer->plane(0)[1] = static_cast<uint8_t>(round);
        });
        std::shared_ptr<ImageBuffer> again;
        while (!(again = pool.acquire())) std::this_thread::yield();
        EXPECT_EQ(again->plane(0)[1], static_cast<uint8_t>(round));
        reader.join();
    }
}

TEST(ImageBufferPoolTest, HandedOutBufferOutlivesThePool) {
    std::shared_ptr<ImageBuffer> kept;
    {
        ImageBufferPool pool(4, 2, 1);
        kept = pool.acquire();
    }
    ASSERT_TRUE(kept);
    kept->plane(0)[0] = 7;
    EXPECT_EQ(kept->plane(0)[0], 7);
}

TEST(ImageBufferTest, PlanesAreNv12Sized) {
    ImageBuffer buffer(6, 4);
    EXPECT_EQ(buffer.plane(1) - buffer.plane(0), 24);
    EXPECT_EQ(buffer.stride(0), 6);
    EXPECT_EQ(buffer.stride(1), 6);
}

TEST(FormatDescriptionTest, ParameterSetsByIndex) {
    FormatDescription description;
    description.parameterSets = {{{1, 2, 3}}, {{4}, -5}, {{6}, 0, false}};
    size_t count = 0;
    int32_t length = 0;
    EXPECT_EQ(description.getH264ParameterSetAtIndex(0, nullptr, nullptr, &count, &length), 0);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(length, 4);

    const uint8_t* pointer = nullptr;
    size_t size = 0;
    EXPECT_EQ(description.getH264ParameterSetAtIndex(0, &pointer, &size, nullptr, nullptr), 0);
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(pointer[2], 3);
    EXPECT_EQ(description.getH264ParameterSetAtIndex(1, &pointer, &size, nullptr, nullptr), -5);
    pointer = reinterpret_cast<const uint8_t*>(1);
    EXPECT_EQ(description.getH264ParameterSetAtIndex(2, &pointer, &size, nullptr, nullptr), 0);
    EXPECT_EQ(pointer, nullptr);
    EXPECT_NE(description.getH264ParameterSetAtIndex(3, &pointer, &size, nullptr, nullptr), 0);

    FormatDescription none;
    count = 0;
    length = 4;
    none.getH264ParameterSetAtIndex(0, nullptr, nullptr, &count, &length);
    EXPECT_EQ(count, 0u) << "an absent count leaves the output as preset";
    EXPECT_EQ(length, 4);
}

TEST(BlockBufferTest, CopiesOnlyWithinItsBytes) {
    BlockBuffer block({1, 2, 3, 4});
    uint8_t out[4] = {};
    EXPECT_EQ(block.copyDataBytes(0, 4, out), 0);
    EXPECT_EQ(out[3], 4);
    EXPECT_NE(block.copyDataBytes(2, 3, out), 0);
    EXPECT_NE(BlockBuffer({1}, -1).copyDataBytes(0, 1, out), 0);
}

// A platform's encoder hands over bytes it owns (a CoreMedia block buffer on
// macOS): the buffer reads them in place and keeps their owner alive.
TEST(BlockBufferTest, BorrowedBytesAreReadInPlaceAndTheirOwnerKeptAlive) {
    auto bytes = std::make_shared<std::vector<uint8_t>>(std::vector<uint8_t>{9, 8, 7, 6, 5});
    std::weak_ptr<std::vector<uint8_t>> watch = bytes;
    const uint8_t* data = bytes->data() + 1;  // a view that starts inside the owner's memory
    BlockBuffer block(std::move(bytes), data, 3);
    EXPECT_FALSE(watch.expired()) << "the owner lives as long as the buffer";
    EXPECT_EQ(block.dataLength(), 3u);
    uint8_t out[3] = {};
    EXPECT_EQ(block.copyDataBytes(0, 3, out), 0);
    EXPECT_EQ(Bytes(out, out + 3), (Bytes{8, 7, 6}));
    EXPECT_EQ(block.copyDataBytes(2, 1, out), 0);
    EXPECT_EQ(out[0], 6);
    EXPECT_NE(block.copyDataBytes(1, 3, out), 0) << "nothing beyond the view is read";
    EXPECT_NE(block.copyDataBytes(4, 0, out), 0);
}

}  // namespace
}  // namespace vx
