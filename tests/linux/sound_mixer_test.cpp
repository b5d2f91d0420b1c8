// The in-process mixer that leaves excluded players out: lanes placed on the monitor's
// timeline, in step with the delayed monitor, whatever the chunking; late, missing,
// stalled, drained and unknown lanes; lanes that slip against the monitor, and holes
// in the monitor.
#include "platform/linux/pulse/sound_mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vx {
namespace {

constexpr size_t kChannels = 2;
constexpr size_t kDelay = 64;

// A player's sound: noise-like, different on each channel, never repeating within a test.
std::vector<float> sound(size_t frames, size_t from, uint32_t seed = 1) {
    std::vector<float> out(frames * kChannels);
    for (size_t i = 0; i < out.size(); ++i) {
        uint32_t x = uint32_t(from * kChannels + i) * 2654435761u ^ seed * 40503u;
        x ^= x >> 13;
        x *= 0x5bd1e995u;
        x ^= x >> 15;
        out[i] = float(x % 2001) / 1000.0f - 1.0f;
    }
    return out;
}

struct Clocked {
    std::vector<float> delayed, mix;
};

Clocked clock(SoundMixer& mixer, const std::vector<float>& monitor, size_t frames) {
    Clocked out{std::vector<float>(frames * kChannels, 9.0f),
                std::vector<float>(frames * kChannels)};
    mixer.clock(monitor.empty() ? nullptr : monitor.data(), frames, out.delayed.data(),
                out.mix.data());
    return out;
}

SoundMixer::Frames sizes(size_t window, size_t search = 48, size_t limit = 512,
                         size_t recheck = 0) {
    return SoundMixer::Frames{kDelay, window, search, limit, recheck};
}

// A steady tone of 100 frames a period, the same on both channels.
std::vector<float> tone(size_t frames, size_t from) {
    std::vector<float> out(frames * kChannels);
    for (size_t i = 0; i < frames; ++i)
        for (size_t c = 0; c < kChannels; ++c)
            out[i * kChannels + c] = 0.5f * float(std::sin(2 * M_PI * double(from + i) / 100.0));
    return out;
}

// The steady tone after 480 frames of silence: its start is what a lane is first found by.
std::vector<float> lateTone(size_t frames, size_t from) {
    auto out = tone(frames, from);
    for (size_t i = 0; i + from < 480 && i < frames; ++i)
        out[i * kChannels] = out[i * kChannels + 1] = 0.0f;
    return out;
}

TEST(SoundMixer, TheDelayedMonitorIsTheMonitorDelayFramesLaterWhateverTheChunking) {
    for (size_t chunk : {1u, 7u, 64u, 100u, 700u}) {
        SCOPED_TRACE(chunk);
        SoundMixer mixer(kChannels, sizes(0));
        std::vector<float> out;
        for (size_t at = 0; at < 2000; at += chunk) {
            auto got = clock(mixer, sound(chunk, at), chunk).delayed;
            out.insert(out.end(), got.begin(), got.end());
        }
        std::vector<float> expected(kDelay * kChannels, 0.0f);
        auto rest = sound(out.size() / kChannels - kDelay, 0);
        expected.insert(expected.end(), rest.begin(), rest.end());
        EXPECT_EQ(out, expected);
    }
}

// A player whose chunks reach the mixer `lead` frames before (negative: after) the
// monitor's chunks of the same moment: once placed, the mix is the delayed monitor.
TEST(SoundMixer, LanesAreFoundOnTheMonitorsTimelineAndMixedInStepWithIt) {
    struct Case {
        int lead;
        size_t chunk;
    };
    // The player's lateness stays within the delay, as the delay is chosen for.
    for (Case c : {Case{0, 48}, Case{30, 48}, Case{-10, 16}, Case{17, 10}, Case{-5, 32}}) {
        SCOPED_TRACE(testing::Message() << "lead " << c.lead << " chunk " << c.chunk);
        SoundMixer mixer(kChannels, sizes(128));
        SoundMixer::Lane lane = mixer.open();
        size_t pushed = 0;
        bool matched = false;
        for (size_t at = 0; at < 4000; at += c.chunk) {
            // The player's frames up to at + lead have arrived.
            int64_t due = int64_t(at) + c.lead;
            while (int64_t(pushed) + int64_t(c.chunk) <= due) {
                mixer.push(lane, sound(c.chunk, pushed).data(), c.chunk);
                pushed += c.chunk;
            }
            auto got = clock(mixer, sound(c.chunk, at), c.chunk);
            if (matched) {
                EXPECT_EQ(got.mix, got.delayed) << "at " << at;
            }
            matched = mixer.placed(lane);
        }
        EXPECT_TRUE(matched);
    }
}

TEST(SoundMixer, LanesAddUpAndHolesLateFramesAndStallsNeverShiftALane) {
    SoundMixer mixer(kChannels, sizes(0));
    SoundMixer::Lane a = mixer.open(), b = mixer.open();
    const size_t chunk = 32;
    // Both placed at the monitor's newest frames by their first push: lane frame p at place p.
    clock(mixer, {}, chunk);
    std::vector<float> out;
    for (size_t at = 0; at < 640; at += chunk) {
        // a stalls over frames 320 to 447, which then come all at once, partly too late.
        if (at < 320 || at >= 448) mixer.push(a, sound(chunk, at, 1).data(), chunk);
        if (at == 416)
            for (size_t late = 320; late <= 416; late += chunk)
                mixer.push(a, sound(chunk, late, 1).data(), chunk);
        if (at == 0) mixer.push(b, nullptr, chunk);  // a hole: silence
        else mixer.push(b, sound(chunk, at, 2).data(), chunk);
        if (at > 0) {
            auto got = clock(mixer, {}, chunk).mix;
            out.insert(out.end(), got.begin(), got.end());
        }
    }
    // The clocks give out places from chunk - kDelay on.
    for (size_t i = 0; i < out.size() / kChannels; ++i) {
        int64_t place = int64_t(i) + int64_t(chunk) - int64_t(kDelay);
        for (size_t c = 0; c < kChannels; ++c) {
            float expected = 0.0f;
            if (place >= 0 && !(place >= 320 && place < 352))
                expected += sound(1, size_t(place), 1)[c];
            if (place >= int64_t(chunk)) expected += sound(1, size_t(place), 2)[c];
            ASSERT_FLOAT_EQ(out[i * kChannels + c], expected) << "place " << place;
        }
    }
}

TEST(SoundMixer, ALaneThatFallsBehindTheDelayIsPlayedLaterRatherThanNever) {
    SoundMixer mixer(kChannels, sizes(0));
    SoundMixer::Lane lane = mixer.open();
    clock(mixer, {}, 32);
    mixer.push(lane, sound(32, 0).data(), 32);          // placed at 0 to 31
    for (int i = 0; i < 10; ++i) clock(mixer, {}, 32);  // its stream stalls
    // What comes now is all behind what the mixer gives out: played at once, in order.
    mixer.push(lane, sound(32, 32).data(), 32);
    mixer.push(lane, sound(32, 64).data(), 32);
    auto first = clock(mixer, {}, 32).mix;
    auto second = clock(mixer, {}, 32).mix;
    EXPECT_EQ(first, sound(32, 32));
    EXPECT_EQ(second, sound(32, 64));
}

TEST(SoundMixer, DrainedLanesPlayOutThenGoAndUnknownLanesAreIgnored) {
    SoundMixer mixer(kChannels, sizes(0));
    SoundMixer::Lane lane = mixer.open();
    clock(mixer, {}, 16);
    mixer.push(lane, sound(16, 0).data(), 16);
    mixer.drain(lane);
    mixer.push(lane, sound(16, 16).data(), 16);  // after the drain: ignored
    mixer.push(lane + 100, sound(16, 0).data(), 16);
    std::vector<float> out;
    for (int i = 0; i < 10; ++i) {
        auto got = clock(mixer, {}, 16).mix;
        out.insert(out.end(), got.begin(), got.end());
    }
    EXPECT_EQ(mixer.laneCount(), 0u);
    // Placed at frames 0..15, given out kDelay later.
    std::vector<float> expected(out.size(), 0.0f);
    auto played = sound(16, 0);
    std::copy(played.begin(), played.end(), expected.begin() + (kDelay - 16) * kChannels);
    EXPECT_EQ(out, expected);

    SoundMixer::Lane never = mixer.open();
    mixer.drain(never);
    EXPECT_EQ(mixer.laneCount(), 0u);
}

TEST(SoundMixer, ALaneRunningAheadOfAStalledClockKeepsItsNewestFramesAtTheirPlaces) {
    const size_t limit = 100;
    SoundMixer mixer(kChannels, sizes(0, 48, limit));
    SoundMixer::Lane lane = mixer.open();
    clock(mixer, {}, 10);
    for (size_t at = 0; at < 1000; at += 10) mixer.push(lane, sound(10, at).data(), 10);
    // Lane frame p at place p; it keeps its newest kDelay + limit frames.
    std::vector<float> out;
    for (int i = 0; i < 110; ++i) {
        auto got = clock(mixer, {}, 10).mix;
        out.insert(out.end(), got.begin(), got.end());
    }
    const int64_t firstPlace = 10 - int64_t(kDelay);
    for (size_t i = 0; i < out.size() / kChannels; ++i) {
        int64_t place = int64_t(i) + firstPlace;
        bool kept = place >= 1000 - int64_t(kDelay + limit) && place < 1000;
        for (size_t c = 0; c < kChannels; ++c)
            ASSERT_EQ(out[i * kChannels + c], kept ? sound(1, size_t(place))[c] : 0.0f)
                << "place " << place;
    }
}

// A player's recording that loses frames (slip > 0) or gains a hole (slip < 0) that
// the monitor's recording does not: the lane is found in step again, at once where
// the mix is not heard, gliding there without a seam where it is.
TEST(SoundMixer, ALaneThatSlipsAgainstTheMonitorIsPutInStepAgain) {
    struct Case {
        int slip;
        bool heard;
        bool steady;  // a steady tone (no seam asserted) rather than noise
    };
    const size_t chunk = 48, slipAt = 1920, end = 9600;
    for (Case c : {Case{40, false, false}, Case{-40, false, false}, Case{40, true, false},
                   Case{-40, true, false}, Case{56, true, true}, Case{-30, true, true}}) {
        SCOPED_TRACE(testing::Message()
                     << "slip " << c.slip << " heard " << c.heard << " steady " << c.steady);
        auto signal = [&](size_t frames, size_t from) {
            return c.steady ? lateTone(frames, from) : sound(frames, from);
        };
        // A window of whole periods of the tone.
        SoundMixer mixer(kChannels, sizes(400, 60, 512, 256));
        mixer.setHeard(c.heard);
        SoundMixer::Lane lane = mixer.open();
        size_t lanePos = 0;
        std::vector<float> mix, delayed;
        for (size_t at = 0; at < end; at += chunk) {
            if (at == slipAt && c.slip > 0) lanePos += size_t(c.slip);
            if (at == slipAt && c.slip < 0) mixer.push(lane, nullptr, size_t(-c.slip));
            mixer.push(lane, signal(chunk, lanePos).data(), chunk);
            lanePos += chunk;
            auto got = clock(mixer, signal(chunk, at), chunk);
            mix.insert(mix.end(), got.mix.begin(), got.mix.end());
            delayed.insert(delayed.end(), got.delayed.begin(), got.delayed.end());
        }
        ASSERT_TRUE(mixer.placed(lane));
        // In step before the slip came out, and again at the end.
        for (size_t i = 1000; i < slipAt; ++i)
            ASSERT_EQ(mix[i * kChannels], delayed[i * kChannels]) << "frame " << i;
        for (size_t i = end - 1000; i < end; ++i)
            ASSERT_NEAR(mix[i * kChannels], delayed[i * kChannels], 1e-3) << "frame " << i;
        if (c.steady) {
            // After the slip's own seam, the tone goes on as smooth as it is played.
            const double clean = 0.5 * std::pow(2 * M_PI / 100.0, 2);
            for (size_t i = slipAt + kDelay + chunk; i + 1 < end; ++i) {
                double bend =
                    mix[(i + 1) * kChannels] - 2 * mix[i * kChannels] + mix[(i - 1) * kChannels];
                ASSERT_LT(std::abs(bend), 1.5 * clean) << "frame " << i;
            }
        }
    }
}

// The monitor's recording loses a stretch to silence (the server's graph stalling on
// a busy machine) that the player's own recording does not. Either the player's sound
// goes on where it was (the lane stays where it is, also where the tone repeats every
// period and a place beside the hole holds it whole), or it comes that much later from
// then on (the lane follows it). The hole falls at every place against the windows
// matched.
TEST(SoundMixer, AHoleInTheMonitorMovesALaneOnlyWhereItsSoundMoved) {
    struct Case {
        size_t holeAt;
        bool later;   // the player's sound comes later in the monitor after the hole
        bool steady;  // a steady tone rather than noise
    };
    const size_t chunk = 48, hole = 150, end = 9600;
    std::vector<Case> cases;
    for (size_t at = 3000; at < 3400; at += 16)
        for (bool later : {false, true}) cases.push_back(Case{at, later, true});
    cases.push_back(Case{3144, false, false});
    cases.push_back(Case{3144, true, false});
    for (Case c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "hole at " << c.holeAt << " later " << c.later << " steady " << c.steady);
        auto signal = [&](size_t frames, size_t from) {
            return c.steady ? lateTone(frames, from) : sound(frames, from);
        };
        // Searching farther than the tone's period, as the capture does.
        SoundMixer mixer(kChannels, sizes(400, 150, 512, 256));
        SoundMixer::Lane lane = mixer.open();
        std::vector<float> mix, delayed;
        for (size_t at = 0; at < end; at += chunk) {
            mixer.push(lane, signal(chunk, at).data(), chunk);
            std::vector<float> monitor(chunk * kChannels);
            for (size_t i = 0; i < chunk; ++i) {
                size_t place = at + i;
                if (place >= c.holeAt && place < c.holeAt + hole) continue;
                size_t from = c.later && place >= c.holeAt ? place - hole : place;
                auto frame = signal(1, from);
                std::copy(frame.begin(), frame.end(), monitor.begin() + ptrdiff_t(i * kChannels));
            }
            auto got = clock(mixer, monitor, chunk);
            mix.insert(mix.end(), got.mix.begin(), got.mix.end());
            delayed.insert(delayed.end(), got.delayed.begin(), got.delayed.end());
        }
        ASSERT_TRUE(mixer.placed(lane));
        if (c.later) {
            // In step again by the end: within a frame or two (a tone is moved no closer
            // than what holds it about whole).
            double both = 0.0, own = 0.0, other = 0.0;
            for (size_t i = end - 1000; i < end; ++i) {
                both += double(mix[i * kChannels]) * delayed[i * kChannels];
                own += double(mix[i * kChannels]) * mix[i * kChannels];
                other += double(delayed[i * kChannels]) * delayed[i * kChannels];
            }
            ASSERT_GT(both / std::sqrt(own * other), 0.99);
        } else {
            // Lane frame p at place p, given out kDelay later, all along.
            for (size_t i = 1000; i < end; ++i)
                ASSERT_FLOAT_EQ(mix[i * kChannels], signal(1, i - kDelay)[0]) << "frame " << i;
        }
    }
}

// Another player starting in the monitor near the lane's frames makes other places
// resemble the lane more than its own (they hold less of the rest): it stays put.
TEST(SoundMixer, AnotherPlayerComingIntoTheMonitorDoesNotMoveALane) {
    const size_t chunk = 48;
    SoundMixer mixer(kChannels, sizes(480, 48, 512, 256));
    SoundMixer::Lane lane = mixer.open();
    std::vector<float> mix;
    for (size_t at = 0; at < 9600; at += chunk) {
        auto played = tone(chunk, at);
        mixer.push(lane, played.data(), chunk);
        auto monitor = played;
        if (at >= 3000) {
            auto other = sound(chunk, at, 7);
            for (size_t i = 0; i < monitor.size(); ++i) monitor[i] += 0.3f * other[i];
        }
        auto got = clock(mixer, monitor, chunk);
        mix.insert(mix.end(), got.mix.begin(), got.mix.end());
    }
    // Lane frame p at place p, given out kDelay later, all along.
    for (size_t i = 1000; i < mix.size() / kChannels; ++i)
        ASSERT_FLOAT_EQ(mix[i * kChannels], tone(1, i - kDelay)[0]) << "frame " << i;
}

}  // namespace
}  // namespace vx
