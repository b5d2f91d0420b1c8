// The screen conversion of the Linux capture: BGRA -> NV12 (BT.709, video range), at
// the output size and scaled from 1440p, with a memcpy of the same source bytes as
// the floor. Bytes per second count the BGRA source read.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "platform/linux/convert/nv12_converter.h"

namespace {

std::vector<uint8_t> screen(int width, int height) {
    std::vector<uint8_t> bytes(size_t(width) * height * 4);
    std::mt19937 random(1);
    for (auto& b : bytes) b = uint8_t(random());
    return bytes;
}

void convert(benchmark::State& state, int sourceWidth, int sourceHeight) {
    const int width = 1920, height = 1080;
    std::vector<uint8_t> source = screen(sourceWidth, sourceHeight);
    vx::ImageBuffer picture(width, height);
    vx::Nv12Converter converter(sourceWidth, sourceHeight, width, height,
                                vx::Nv12Converter::area(std::nullopt, width, height));
    for (auto _ : state) {
        converter.convert(source.data(), size_t(sourceWidth) * 4, picture);
        benchmark::DoNotOptimize(picture.plane(0));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(source.size()));
}

void BM_Convert1080p(benchmark::State& state) { convert(state, 1920, 1080); }
void BM_Convert1440pTo1080p(benchmark::State& state) { convert(state, 2560, 1440); }

void memcpyFrame(benchmark::State& state, int width, int height) {
    std::vector<uint8_t> source = screen(width, height);
    std::vector<uint8_t> copy(source.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), source.data(), source.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(source.size()));
}

void BM_Memcpy1080p(benchmark::State& state) { memcpyFrame(state, 1920, 1080); }
void BM_Memcpy1440p(benchmark::State& state) { memcpyFrame(state, 2560, 1440); }

}  // namespace

BENCHMARK(BM_Convert1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert1440pTo1080p)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy1440p)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
