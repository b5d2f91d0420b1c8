// AudioConverterNew, AudioConverterSetProperty (no priming, as for live input: the
// filter's latency comes at the start instead of frames being read ahead) and
// AudioConverterFillComplexBuffer with an input procedure that hands over the
// pending blocks one at a time.
#include "platform/macos/audio_rate_converter.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace vx {

namespace {

// What the input procedure answers when every pending block has been handed over:
// the converter returns what it made and keeps its state for the next blocks.
constexpr OSStatus kNoInputYet = 0x76786e69;
// Most channels a captured block may have to be converted; more are dropped.
constexpr uint32_t kMaxChannels = 16;
constexpr uint32_t kBytesPerSample = sizeof(float);

::AudioStreamBasicDescription floatDescription(double rate, uint32_t channels,
                                               bool nonInterleaved) {
    ::AudioStreamBasicDescription description{};
    description.mSampleRate = rate;
    description.mFormatID = ::kAudioFormatLinearPCM;
    description.mFormatFlags = ::kAudioFormatFlagIsFloat | ::kAudioFormatFlagIsPacked |
                               (nonInterleaved ? ::kAudioFormatFlagIsNonInterleaved : 0);
    description.mFramesPerPacket = 1;
    description.mChannelsPerFrame = channels;
    description.mBitsPerChannel = 8 * kBytesPerSample;
    description.mBytesPerFrame = kBytesPerSample * (nonInterleaved ? 1 : channels);
    description.mBytesPerPacket = description.mBytesPerFrame;
    return description;
}

std::string hertz(double rate) { return std::to_string(int64_t(rate)) + " Hz"; }

// An AudioBufferList for up to kMaxChannels buffers, on the stack.
struct BufferListStorage {
    alignas(::AudioBufferList) unsigned char bytes[sizeof(::AudioBufferList) +
                                                   (kMaxChannels - 1) * sizeof(::AudioBuffer)];
    ::AudioBufferList* list() { return reinterpret_cast<::AudioBufferList*>(bytes); }
};

}  // namespace

std::variant<std::unique_ptr<AudioRateConverter>, Error> AudioRateConverter::create(
    int64_t inputRate, int64_t outputRate, int64_t channels) {
    const Layout input{double(inputRate), uint32_t(channels), true};
    std::unique_ptr<AudioRateConverter> converter(new AudioRateConverter(outputRate, input));
    if (auto error = converter->open(input)) return *error;
    return converter;
}

AudioRateConverter::AudioRateConverter(int64_t outputRate, Layout input)
    : outputRate_(outputRate), input_(input), arithmetic_(int64_t(input.rate), outputRate) {}

std::optional<Error> AudioRateConverter::open(Layout input) {
    const ::AudioStreamBasicDescription from =
        floatDescription(input.rate, input.channels, input.nonInterleaved);
    const ::AudioStreamBasicDescription to =
        floatDescription(double(outputRate_), input.channels, input.nonInterleaved);
    AudioConverterRef made = nullptr;
    const OSStatus status = AudioConverterNew(&from, &to, &made);
    if (status != noErr || !made) {
        return Error{status, "the audio converter refuses " + hertz(input.rate) + " to " +
                                 hertz(double(outputRate_)) + " for " +
                                 std::to_string(input.channels) + " channels (status " +
                                 std::to_string(status) + ")"};
    }
    converter_.reset(made);
    // Both are refinements: a converter that refuses them still converts.
    const UInt32 prime = kConverterPrimeMethod_None;
    (void)AudioConverterSetProperty(made, kAudioConverterPrimeMethod, sizeof prime, &prime);
    const UInt32 quality = kAudioConverterQuality_High;
    (void)AudioConverterSetProperty(made, kAudioConverterSampleRateConverterQuality,
                                    sizeof quality, &quality);
    input_ = input;
    arithmetic_ = RateConversion(int64_t(input.rate), outputRate_);
    pending_.clear();
    return std::nullopt;
}

uint32_t AudioRateConverter::framesHeld(const SampleBuffer& sample) const {
    const size_t buffers = input_.nonInterleaved ? input_.channels : 1;
    const uint32_t bytesPerFrame = kBytesPerSample * channelsPerBuffer();
    if (!sample.audioBufferList || sample.audioBufferList->size() < buffers) return 0;
    int64_t frames = std::min<int64_t>(sample.numSamples, UINT32_MAX);
    for (size_t i = 0; i < buffers; ++i) {
        const AudioBuffer& buffer = (*sample.audioBufferList)[i];
        if (!buffer.mData) return 0;
        frames = std::min<int64_t>(frames, buffer.mDataByteSize / bytesPerFrame);
    }
    return uint32_t(std::max<int64_t>(frames, 0));
}

SampleBuffer AudioRateConverter::convert(const SampleBuffer& captured) {
    const FormatDescription* format = captured.formatDescription.get();
    if (!captured.isValid() || !format || !format->audioStreamBasicDescription) return captured;
    const AudioStreamBasicDescription& description = *format->audioStreamBasicDescription;
    if (description.mSampleRate == double(outputRate_) ||
        description.mFormatID != kAudioFormatLinearPCM ||
        !(description.mFormatFlags & kAudioFormatFlagIsFloat) ||
        description.mBitsPerChannel != 8 * kBytesPerSample)
        return captured;

    SampleBuffer result;
    result.presentationTime = captured.presentationTime;
    // Audio in another rate or layout than the converter's (the framework chose
    // differently): a converter for it, or the block is dropped.
    const Layout layout{description.mSampleRate, description.mChannelsPerFrame,
                        (description.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0};
    if (layout.channels < 1 || layout.channels > kMaxChannels || layout.rate < 1) return result;
    if (!(layout == input_) && open(layout)) return result;

    const uint32_t frames = framesHeld(captured);
    if (frames == 0) return result;
    pending_.push(captured, frames);

    const int64_t request = arithmetic_.framesToRequest(frames);
    // A buffer's byte size is 32 bits: no request that would need more.
    if (request <= 0 || request > int64_t(UINT32_MAX / (kBytesPerSample * channelsPerBuffer())))
        return result;
    const uint32_t buffers = input_.nonInterleaved ? input_.channels : 1;
    const uint32_t samplesPerBuffer = uint32_t(request) * channelsPerBuffer();
    std::shared_ptr<float[]> data(std::make_unique<float[]>(size_t(samplesPerBuffer) * buffers));

    BufferListStorage storage;
    ::AudioBufferList* list = storage.list();
    list->mNumberBuffers = buffers;
    for (uint32_t i = 0; i < buffers; ++i) {
        list->mBuffers[i].mNumberChannels = channelsPerBuffer();
        list->mBuffers[i].mDataByteSize = samplesPerBuffer * kBytesPerSample;
        list->mBuffers[i].mData = data.get() + size_t(i) * samplesPerBuffer;
    }
    UInt32 made = UInt32(request);
    const OSStatus status =
        AudioConverterFillComplexBuffer(converter_.get(), supply, this, &made, list, nullptr);
    if (status != noErr && status != kNoInputYet) {
        // The converter failed: start it afresh with the next block.
        AudioConverterReset(converter_.get());
        arithmetic_ = RateConversion(int64_t(input_.rate), outputRate_);
        pending_.clear();
        return result;
    }
    arithmetic_.delivered(made);
    if (made == 0) return result;

    auto outputFormat = std::make_shared<FormatDescription>();
    outputFormat->audioStreamBasicDescription = AudioStreamBasicDescription{
        double(outputRate_), description.mFormatID, description.mFormatFlags,
        description.mBitsPerChannel, input_.channels};
    result.formatDescription = std::move(outputFormat);
    result.numSamples = made;
    AudioBufferList converted;
    for (uint32_t i = 0; i < buffers; ++i) {
        converted.push_back(AudioBuffer{list->mBuffers[i].mNumberChannels,
                                        list->mBuffers[i].mDataByteSize, list->mBuffers[i].mData});
    }
    result.audioBufferList = std::move(converted);
    result.audioData = std::move(data);
    return result;
}

OSStatus AudioRateConverter::supply(AudioConverterRef, UInt32* packets, ::AudioBufferList* data,
                                    AudioStreamPacketDescription**, void* self) {
    auto& converter = *static_cast<AudioRateConverter*>(self);
    const PendingAudio::Block* next = converter.pending_.next();
    if (!next) {
        *packets = 0;
        return kNoInputYet;
    }
    const AudioBufferList& buffers = *next->sample.audioBufferList;
    const uint32_t bytesPerBuffer = next->frames * kBytesPerSample * converter.channelsPerBuffer();
    for (UInt32 i = 0; i < data->mNumberBuffers && i < buffers.size(); ++i) {
        data->mBuffers[i].mData = const_cast<void*>(buffers[i].mData);
        data->mBuffers[i].mDataByteSize = bytesPerBuffer;
    }
    *packets = next->frames;
    return noErr;
}

}  // namespace vx
