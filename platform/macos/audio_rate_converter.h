#pragma once
// The captured audio converted from the rate the capture framework took to the rate
// asked for, with AudioToolbox's AudioConverter: 32-bit float samples, as many
// channels as were captured, in the layout they came in (one buffer per channel,
// or interleaved). How many frames each block gives follows RateConversion: over
// any run, exactly the output rate times the captured time.
//
// Made on the start task; convert() then runs on the audio output's queue only.
// Captured blocks go to the converter without a copy, and the converter may still
// read a block after convert() returned (what its filter has not used yet): they
// wait in a PendingAudio, which keeps each until the converter is done with it.
// Objective-C++ and C++ alike.
#include <AudioToolbox/AudioToolbox.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

#include "platform/error.h"
#include "platform/pending_audio.h"
#include "platform/rate_conversion.h"
#include "platform/sample_buffer.h"

namespace vx {

struct AudioConverterDisposer {
    void operator()(AudioConverterRef converter) const { AudioConverterDispose(converter); }
};
using AudioConverterHandle = std::unique_ptr<OpaqueAudioConverter, AudioConverterDisposer>;

class AudioRateConverter {
public:
    // A converter from inputRate to outputRate for channels channels of 32-bit float,
    // one buffer per channel (what the capture framework delivers); AudioToolbox's
    // status and a description when it refuses.
    static std::variant<std::unique_ptr<AudioRateConverter>, Error> create(int64_t inputRate,
                                                                           int64_t outputRate,
                                                                           int64_t channels);

    // captured at the output rate: samples already at that rate, and those that are
    // not 32-bit float (the writer drops them), pass unchanged. The result may hold
    // no frames (nothing due yet, or a block that could not be converted: dropped).
    SampleBuffer convert(const SampleBuffer& captured);

private:
    struct Layout {
        double rate = 0;
        uint32_t channels = 0;
        bool nonInterleaved = true;
        bool operator==(const Layout&) const = default;
    };

    AudioRateConverter(int64_t outputRate, Layout input);
    // A new converter for input; the error when AudioToolbox refuses it.
    std::optional<Error> open(Layout input);
    uint32_t channelsPerBuffer() const { return input_.nonInterleaved ? 1 : input_.channels; }
    // The sample's frames when its buffers hold them for input_, else 0.
    uint32_t framesHeld(const SampleBuffer& sample) const;

    // AudioConverterComplexInputDataProc: hands over the next pending block.
    static OSStatus supply(AudioConverterRef converter, UInt32* packets, ::AudioBufferList* data,
                           AudioStreamPacketDescription** descriptions, void* self);

    int64_t outputRate_;
    Layout input_;
    AudioConverterHandle converter_;
    RateConversion arithmetic_;
    PendingAudio pending_;
};

}  // namespace vx
