// The float-to-s16 interleaver of audio mode on one capture fragment: 10 ms of
// 48 kHz stereo, in the interleaved layout (what the sound server delivers) and the
// non-interleaved one (one buffer per channel), with a memcpy of the output's size
// as the floor. Bytes per second count the s16 output written.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "audio/audio_writer.h"

namespace {

constexpr int64_t kFrames = 480;  // 10 ms at 48 kHz
constexpr uint32_t kChannels = 2;
constexpr size_t kOutputBytes = size_t(kFrames) * kChannels * sizeof(int16_t);

// A sine a little over full scale, so that clamping is part of the work.
std::vector<float> samples(size_t count) {
    std::vector<float> values(count);
    for (size_t i = 0; i < count; ++i) values[i] = 1.2f * std::sin(float(i) * 0.05f);
    return values;
}

vx::SampleBuffer fragment(bool nonInterleaved) {
    auto description = std::make_shared<vx::FormatDescription>();
    const uint32_t flags = vx::kAudioFormatFlagIsFloat |
                           (nonInterleaved ? vx::kAudioFormatFlagIsNonInterleaved : 0u);
    description->audioStreamBasicDescription =
        vx::AudioStreamBasicDescription{48000, vx::kAudioFormatLinearPCM, flags, 32, kChannels};

    vx::SampleBuffer sample;
    sample.formatDescription = std::move(description);
    sample.numSamples = kFrames;
    vx::AudioBufferList list;
    if (nonInterleaved) {
        auto storage = std::make_shared<std::vector<std::vector<float>>>();
        for (uint32_t c = 0; c < kChannels; ++c) storage->push_back(samples(size_t(kFrames)));
        for (const auto& channel : *storage)
            list.push_back({1, uint32_t(channel.size() * sizeof(float)), channel.data()});
        sample.audioData = std::move(storage);
    } else {
        auto storage = std::make_shared<std::vector<float>>(samples(size_t(kFrames) * kChannels));
        list.push_back({kChannels, uint32_t(storage->size() * sizeof(float)), storage->data()});
        sample.audioData = std::move(storage);
    }
    sample.audioBufferList = std::move(list);
    return sample;
}

void interleave(benchmark::State& state, bool nonInterleaved) {
    const vx::SampleBuffer sample = fragment(nonInterleaved);
    for (auto _ : state) {
        auto output = vx::AudioWriter::interleavedS16(sample, kChannels);
        benchmark::DoNotOptimize(output->data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kOutputBytes));
}

void BM_Interleave_Interleaved(benchmark::State& state) { interleave(state, false); }
void BM_Interleave_NonInterleaved(benchmark::State& state) { interleave(state, true); }

void BM_Memcpy_Fragment(benchmark::State& state) {
    std::vector<uint8_t> source(kOutputBytes, 0x5a), target(kOutputBytes);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), source.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kOutputBytes));
}

}  // namespace

BENCHMARK(BM_Interleave_Interleaved)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Interleave_NonInterleaved)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Memcpy_Fragment)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
