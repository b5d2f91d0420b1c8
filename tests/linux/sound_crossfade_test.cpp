// Handing the capture over between the plain monitor and the mix of the kept players.
#include "platform/linux/pulse/sound_crossfade.h"

#include <gtest/gtest.h>

#include <vector>

namespace vx {
namespace {

constexpr size_t kChannels = 2;
constexpr size_t kFade = 4;

std::vector<float> filled(size_t frames, float value) {
    return std::vector<float>(frames * kChannels, value);
}

TEST(SoundCrossfade, StartsOnTheMonitorAndFadesToTheMixAcrossChunks) {
    SoundCrossfade fade(kChannels, kFade);
    auto monitor = filled(3, 1.0f);
    auto out = filled(3, 5.0f);
    fade.blend(monitor.data(), out.data(), 3, false);
    EXPECT_EQ(out, monitor);

    out = filled(3, 5.0f);
    fade.blend(monitor.data(), out.data(), 3, true);
    std::vector<float> expected{2.0f, 2.0f, 3.0f, 3.0f, 4.0f, 4.0f};
    EXPECT_EQ(out, expected);

    out = filled(3, 5.0f);
    fade.blend(monitor.data(), out.data(), 3, true);
    EXPECT_EQ(out, filled(3, 5.0f)) << "no trace of the monitor once the fade is over";
    EXPECT_EQ(fade.mixWeight(), 1.0f);
}

TEST(SoundCrossfade, GoingBackToTheMonitorFadesAcrossChunks) {
    SoundCrossfade fade(kChannels, kFade);
    auto monitor = filled(4, 1.0f);
    auto out = filled(4, 0.0f);
    fade.blend(monitor.data(), out.data(), 4, true);

    out = filled(3, 0.0f);
    fade.blend(monitor.data(), out.data(), 3, false);
    std::vector<float> expected{0.25f, 0.25f, 0.5f, 0.5f, 0.75f, 0.75f};
    EXPECT_EQ(out, expected);

    out = filled(3, 0.0f);
    fade.blend(monitor.data(), out.data(), 3, false);
    EXPECT_EQ(out, filled(3, 1.0f));
    EXPECT_EQ(fade.mixWeight(), 0.0f);
}

TEST(SoundCrossfade, HolesInTheMonitorAreSilence) {
    SoundCrossfade fade(kChannels, kFade);
    auto out = filled(2, 7.0f);
    fade.blend(nullptr, out.data(), 2, false);
    EXPECT_EQ(out, filled(2, 0.0f));
}

}  // namespace
}  // namespace vx
