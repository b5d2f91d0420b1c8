// The in-process mixer that leaves excluded players out: cushions, mixing, draining, limits.
#include "platform/linux/pulse/sound_mixer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace vx {
namespace {

constexpr size_t kChannels = 2;
constexpr size_t kCushion = 8;
constexpr size_t kLimit = 32;

// Interleaved frames whose samples count up from first: 2 channels, frame i = (v, v + 0.5).
std::vector<float> ramp(size_t frames, float first) {
    std::vector<float> out(frames * kChannels);
    for (size_t i = 0; i < frames; ++i) {
        out[i * kChannels] = first + float(i);
        out[i * kChannels + 1] = first + float(i) + 0.5f;
    }
    return out;
}

std::vector<float> mixed(SoundMixer& mixer, size_t frames) {
    std::vector<float> out(frames * kChannels, 0.0f);
    mixer.mix(out.data(), frames);
    return out;
}

struct MixerTest : ::testing::Test {
    SoundMixer mixer{kChannels, kCushion, kLimit};
};

TEST_F(MixerTest, LaneStaysSilentUntilItsCushionIsFullThenPlaysEverythingInOrder) {
    SoundMixer::Lane lane = mixer.open();
    auto first = ramp(kCushion - 1, 1);
    mixer.push(lane, first.data(), kCushion - 1);
    EXPECT_EQ(mixed(mixer, 4), std::vector<float>(8, 0.0f));
    EXPECT_EQ(mixer.buffered(lane), kCushion - 1);

    auto second = ramp(1, kCushion);
    mixer.push(lane, second.data(), 1);
    EXPECT_EQ(mixed(mixer, 4), ramp(4, 1));
    EXPECT_EQ(mixed(mixer, 4), ramp(4, 5));
}

TEST_F(MixerTest, PrimedLanesAddUpAndUnprimedOnesDoNotCount) {
    SoundMixer::Lane a = mixer.open();
    SoundMixer::Lane b = mixer.open();
    SoundMixer::Lane late = mixer.open();
    auto one = ramp(kCushion, 1);
    auto ten = ramp(kCushion, 10);
    auto few = ramp(2, 100);
    mixer.push(a, one.data(), kCushion);
    mixer.push(b, ten.data(), kCushion);
    mixer.push(late, few.data(), 2);

    auto out = mixed(mixer, 3);
    for (size_t i = 0; i < out.size(); ++i) EXPECT_FLOAT_EQ(out[i], one[i] + ten[i]) << i;
    EXPECT_EQ(mixer.buffered(late), 2u);
}

TEST_F(MixerTest, MixAddsToWhatTheCallerPutInTheOutput) {
    SoundMixer::Lane lane = mixer.open();
    auto audio = ramp(kCushion, 1);
    mixer.push(lane, audio.data(), kCushion);
    std::vector<float> out(2 * kChannels, 0.25f);
    mixer.mix(out.data(), 2);
    EXPECT_FLOAT_EQ(out[0], 1.25f);
    EXPECT_FLOAT_EQ(out[3], 2.75f);
}

TEST_F(MixerTest, LaneThatRunsDryGivesWhatItHasThenBuildsItsCushionAgain) {
    SoundMixer::Lane lane = mixer.open();
    auto audio = ramp(kCushion, 1);
    mixer.push(lane, audio.data(), kCushion);
    auto out = mixed(mixer, kCushion + 2);
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + kCushion * kChannels), audio);
    EXPECT_EQ(out[kCushion * kChannels], 0.0f);

    auto more = ramp(kCushion - 1, 50);
    mixer.push(lane, more.data(), kCushion - 1);
    EXPECT_EQ(mixed(mixer, 2), std::vector<float>(4, 0.0f)) << "not primed again yet";
    auto last = ramp(1, 50 + float(kCushion - 1));
    mixer.push(lane, last.data(), 1);
    EXPECT_EQ(mixed(mixer, 2), ramp(2, 50));
}

TEST_F(MixerTest, DrainedLanePlaysOutWhatItHoldsEvenBelowItsCushionThenGoes) {
    SoundMixer::Lane lane = mixer.open();
    SoundMixer::Lane empty = mixer.open();
    auto audio = ramp(3, 1);
    mixer.push(lane, audio.data(), 3);
    mixer.drain(lane);
    mixer.drain(empty);
    EXPECT_EQ(mixer.laneCount(), 1u) << "an empty lane goes at once";

    auto late = ramp(5, 99);
    mixer.push(lane, late.data(), 5);
    EXPECT_EQ(mixer.buffered(lane), 3u) << "nothing is added after draining";

    auto out = mixed(mixer, 4);
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 6), audio);
    EXPECT_EQ(out[6], 0.0f);
    EXPECT_EQ(mixer.laneCount(), 0u);
}

// Also with chunks larger than the whole ring, after some audio went round it.
TEST_F(MixerTest, LaneGrowingPastItsLimitKeepsOnlyItsNewestCushion) {
    for (size_t frames : {kLimit + 1, 3 * kLimit}) {
        SoundMixer local(kChannels, kCushion, kLimit);
        SoundMixer::Lane lane = local.open();
        auto before = ramp(kCushion + 5, -100);
        local.push(lane, before.data(), kCushion + 5);
        local.mix(nullptr, kCushion + 5);
        auto audio = ramp(frames, 1);
        local.push(lane, audio.data(), frames);
        EXPECT_EQ(local.buffered(lane), kCushion) << frames;
        EXPECT_EQ(mixed(local, kCushion), ramp(kCushion, float(frames - kCushion + 1))) << frames;
    }
}

TEST_F(MixerTest, HolesAreSilenceAndUnknownLanesAreIgnored) {
    SoundMixer::Lane lane = mixer.open();
    mixer.push(lane, nullptr, kCushion);
    mixer.push(lane + 100, ramp(kCushion, 1).data(), kCushion);
    EXPECT_EQ(mixer.laneCount(), 1u);
    EXPECT_EQ(mixed(mixer, kCushion), std::vector<float>(kCushion * kChannels, 0.0f));
}

TEST_F(MixerTest, TakingWithoutAnOutputConsumesLikeMixing) {
    SoundMixer::Lane lane = mixer.open();
    auto audio = ramp(kCushion + 4, 1);
    mixer.push(lane, audio.data(), kCushion + 4);
    mixer.mix(nullptr, 4);
    EXPECT_EQ(mixer.buffered(lane), kCushion);
    EXPECT_EQ(mixed(mixer, 2), ramp(2, 5));
}

// Chunks of any size in and out, around the ring's end and past its size, keep the audio
// intact: every frame comes out once, in order.
TEST_F(MixerTest, AudioSurvivesAnyChunkingInAndOut) {
    struct Case {
        size_t in;
        size_t out;
    };
    for (Case c : {Case{1, 1}, Case{3, 5}, Case{7, 2}, Case{13, 11}, Case{31, 17}, Case{29, 9}}) {
        SoundMixer local(kChannels, kCushion, kLimit);
        SoundMixer::Lane lane = local.open();
        std::vector<float> heard;
        float next = 1;
        bool started = false;
        for (int round = 0; round < 40; ++round) {
            auto chunk = ramp(c.in, next);
            next += float(c.in);
            local.push(lane, chunk.data(), c.in);
            // Take as much as came in, in pieces of c.out, keeping a cushion's worth.
            while (local.buffered(lane) >= c.out + (started ? 0 : kCushion)) {
                std::vector<float> out(c.out * kChannels, 0.0f);
                local.mix(out.data(), c.out);
                heard.insert(heard.end(), out.begin(), out.end());
                started = true;
            }
        }
        ASSERT_FALSE(heard.empty()) << c.in << "/" << c.out;
        // Frames may be cut only by the limit; none here since the reader keeps up.
        EXPECT_EQ(heard, ramp(heard.size() / kChannels, 1)) << c.in << "/" << c.out;
    }
}

}  // namespace
}  // namespace vx
