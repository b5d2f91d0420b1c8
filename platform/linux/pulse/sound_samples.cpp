#include "platform/linux/pulse/sound_samples.h"

namespace vx {

SoundSamples::SoundSamples(uint32_t rate, uint32_t channels) : channels_(channels) {
    auto format = std::make_shared<FormatDescription>();
    AudioStreamBasicDescription description;
    description.mSampleRate = rate;
    description.mFormatID = kAudioFormatLinearPCM;
    description.mFormatFlags = kAudioFormatFlagIsFloat;  // interleaved
    description.mBitsPerChannel = 32;
    description.mChannelsPerFrame = channels;
    format->audioStreamBasicDescription = description;
    format_ = std::move(format);
}

SoundSamples::Made SoundSamples::make(size_t frames) const {
    size_t count = frames * channels_;
    std::shared_ptr<float[]> storage = std::make_shared<float[]>(count);
    auto sample = std::make_shared<SampleBuffer>();
    sample->formatDescription = format_;
    sample->numSamples = int64_t(frames);
    sample->audioBufferList = AudioBufferList{
        AudioBuffer{channels_, uint32_t(count * sizeof(float)), storage.get()}};
    float* data = storage.get();
    sample->audioData = std::move(storage);
    return Made{std::move(sample), data};
}

}  // namespace vx
