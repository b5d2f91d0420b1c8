// Captured blocks waiting for a converter that reads them in place: each stays alive
// until the converter is done with it, and a converter that falls behind drops the oldest.
#include "platform/pending_audio.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace vx {
namespace {

// A block whose memory is watched: expired() tells that nothing holds it any more.
SampleBuffer block(std::weak_ptr<const void>& watch, int64_t frames = 480) {
    SampleBuffer sample;
    auto memory = std::make_shared<std::vector<float>>(size_t(frames));
    sample.audioBufferList = AudioBufferList{{1, uint32_t(frames * 4), memory->data()}};
    sample.audioData = memory;
    sample.numSamples = frames;
    watch = memory;
    return sample;
}

TEST(PendingAudioTest, ABlockHandedOverLivesUntilTheConverterAsksAgain) {
    PendingAudio pending;
    std::weak_ptr<const void> first, second;
    pending.push(block(first), 480);
    pending.push(block(second, 7), 7);
    EXPECT_FALSE(first.expired()) << "a waiting block was released";

    const PendingAudio::Block* given = pending.next();
    ASSERT_NE(given, nullptr);
    EXPECT_EQ(given->frames, 480u);
    EXPECT_EQ(given->sample.numSamples, 480);
    EXPECT_FALSE(first.expired()) << "released while the converter may still read it";

    given = pending.next();
    ASSERT_NE(given, nullptr);
    EXPECT_EQ(given->frames, 7u);
    EXPECT_TRUE(first.expired()) << "kept after the converter asked for the next block";

    // Nothing waits: the converter is told so, and is done with the last block.
    EXPECT_EQ(pending.next(), nullptr);
    EXPECT_TRUE(second.expired());
}

TEST(PendingAudioTest, AConverterThatFallsBehindLosesTheOldestBlocks) {
    PendingAudio pending;
    std::vector<std::weak_ptr<const void>> watches(PendingAudio::kMaxPending + 3);
    for (size_t i = 0; i < watches.size(); ++i)
        pending.push(block(watches[i], int64_t(i + 1)), uint32_t(i + 1));
    EXPECT_EQ(pending.waiting(), PendingAudio::kMaxPending);
    for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(watches[i].expired()) << i;
    const PendingAudio::Block* given = pending.next();
    ASSERT_NE(given, nullptr);
    EXPECT_EQ(given->frames, 4u) << "not the oldest block that was kept";
}

TEST(PendingAudioTest, ClearReleasesEverything) {
    PendingAudio pending;
    std::weak_ptr<const void> handed, waiting;
    pending.push(block(handed), 480);
    pending.push(block(waiting), 480);
    ASSERT_NE(pending.next(), nullptr);
    pending.clear();
    EXPECT_TRUE(handed.expired());
    EXPECT_TRUE(waiting.expired());
    EXPECT_EQ(pending.waiting(), 0u);
    EXPECT_EQ(pending.next(), nullptr);
}

}  // namespace
}  // namespace vx
