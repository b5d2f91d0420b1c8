// Arbitrary audio samples: stream descriptions, frame counts and buffer lists,
// including lists shorter than the description says. The conversion must never
// read outside the buffers (AddressSanitizer watches) and must give exactly
// frames x channels x 2 bytes when it gives anything.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "audio/audio_writer.h"

using namespace vx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    SampleBuffer sample;
    int64_t channels = in.ConsumeIntegralInRange<int64_t>(0, 8);

    AudioStreamBasicDescription description;
    description.mFormatID = in.ConsumeBool() ? kAudioFormatLinearPCM : in.ConsumeIntegral<uint32_t>();
    description.mFormatFlags = in.ConsumeIntegral<uint32_t>();
    description.mBitsPerChannel = in.ConsumeBool() ? 32 : in.ConsumeIntegral<uint32_t>();
    description.mChannelsPerFrame = in.ConsumeIntegralInRange<uint32_t>(0, 8);
    if (in.ConsumeIntegralInRange<int>(0, 15) != 0) {
        auto format = std::make_shared<FormatDescription>();
        format->audioStreamBasicDescription = description;
        sample.formatDescription = format;
    }
    sample.numSamples = in.ConsumeIntegralInRange<int64_t>(-1, 512);

    // Each buffer owns exactly the bytes it claims, so any read past them is caught.
    auto storage = std::make_shared<std::vector<std::vector<float>>>();
    int buffers = in.ConsumeIntegralInRange<int>(0, 9);
    for (int i = 0; i < buffers; ++i) {
        std::vector<float> buffer(in.ConsumeIntegralInRange<size_t>(0, 256));
        for (float& x : buffer) x = in.ConsumeFloatingPoint<float>();
        storage->push_back(std::move(buffer));
    }
    if (in.ConsumeIntegralInRange<int>(0, 15) != 0) {
        AudioBufferList list;
        for (auto& buffer : *storage) {
            AudioBuffer entry;
            entry.mNumberChannels = 1;
            bool null = in.ConsumeIntegralInRange<int>(0, 7) == 0;
            entry.mData = null || buffer.empty() ? nullptr : buffer.data();
            entry.mDataByteSize = entry.mData ? uint32_t(buffer.size() * sizeof(float)) : 0;
            list.push_back(entry);
        }
        sample.audioBufferList = std::move(list);
        sample.audioData = storage;
    }

    auto bytes = AudioWriter::interleavedS16(sample, channels);
    if (bytes && bytes->size() != size_t(sample.numSamples) * size_t(channels) * 2) std::abort();
    return 0;
}
