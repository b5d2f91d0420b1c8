#pragma once
// One record stream of 32-bit float audio on a connection: the whole of a monitor
// source, or, with a sink input given, only what that input plays into the sink.
//
// Made, used and destroyed on the loop's thread or with its lock held, never
// inside one of its own callbacks, and before its connection is destroyed.
// Callbacks run on the loop thread.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <pulse/sample.h>

#include "platform/error.h"

struct pa_context;
struct pa_stream;

namespace vx {

class PulseRecordStream {
public:
    using Ready = std::function<void()>;
    // One chunk as the server hands it over: interleaved frames, valid only during
    // the call. data is null for a hole in the stream (frames of silence).
    using Data = std::function<void(const float* data, size_t frames)>;
    // At most once: the server ended the stream, or it could not be set up.
    using Ended = std::function<void(const Error&)>;

    // sampleSpec's format must be PA_SAMPLE_FLOAT32NE.
    PulseRecordStream(pa_context* context, const char* name, const pa_sample_spec& sampleSpec);
    ~PulseRecordStream();

    PulseRecordStream(const PulseRecordStream&) = delete;
    PulseRecordStream& operator=(const PulseRecordStream&) = delete;

    // Records source, in fragments of about fragmentFrames; with sinkInput, only
    // that input's share of the sink whose monitor source is. An error means
    // nothing was started and no callback will run.
    std::optional<Error> connect(const std::string& source, std::optional<uint32_t> sinkInput,
                                 size_t fragmentFrames, Ready ready, Data data, Ended ended);

private:
    struct Free {
        void operator()(pa_stream* stream) const;
    };
    static void onState(pa_stream* stream, void* userdata);
    static void onRead(pa_stream* stream, size_t length, void* userdata);
    Error error(const char* what) const;

    pa_context* context_;
    size_t frameBytes_;
    std::unique_ptr<pa_stream, Free> stream_;
    Ready ready_;
    Data data_;
    Ended ended_;
    bool up_ = false;
    bool over_ = false;
};

}  // namespace vx
