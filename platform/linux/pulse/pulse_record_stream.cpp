#include "platform/linux/pulse/pulse_record_stream.h"

#include <pulse/channelmap.h>
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/stream.h>

namespace vx {

void PulseRecordStream::Free::operator()(pa_stream* stream) const {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
}

namespace {
// The server's usual layout for the count (stereo, 5.1, ...), auxiliary channels beyond it.
pa_channel_map channelMap(const pa_sample_spec& sampleSpec) {
    pa_channel_map map;
    pa_channel_map_init_extend(&map, sampleSpec.channels, PA_CHANNEL_MAP_DEFAULT);
    return map;
}
}  // namespace

PulseRecordStream::PulseRecordStream(pa_context* context, const char* name,
                                     const pa_sample_spec& sampleSpec)
    : context_(context), frameBytes_(pa_frame_size(&sampleSpec)) {
    pa_channel_map map = channelMap(sampleSpec);
    stream_.reset(pa_stream_new(context, name, &sampleSpec, &map));
}

PulseRecordStream::~PulseRecordStream() = default;

Error PulseRecordStream::error(const char* what) const {
    int code = pa_context_errno(context_);
    if (code == PA_OK) code = PA_ERR_KILLED;
    return Error{code, std::string(what) + pa_strerror(code)};
}

std::optional<Error> PulseRecordStream::connect(const std::string& source,
                                                std::optional<uint32_t> sinkInput,
                                                size_t fragmentFrames, Ready ready, Data data,
                                                Ended ended) {
    if (!stream_) return error("cannot record from the sound server: ");
    if (sinkInput && pa_stream_set_monitor_stream(stream_.get(), *sinkInput) < 0)
        return error("cannot record a player: ");
    ready_ = std::move(ready);
    data_ = std::move(data);
    ended_ = std::move(ended);
    pa_stream_set_state_callback(stream_.get(), onState, this);
    pa_stream_set_read_callback(stream_.get(), onRead, this);

    pa_buffer_attr attributes;
    attributes.maxlength = uint32_t(-1);
    attributes.tlength = uint32_t(-1);
    attributes.prebuf = uint32_t(-1);
    attributes.minreq = uint32_t(-1);
    attributes.fragsize = uint32_t(fragmentFrames * frameBytes_);
    // A source's recording is never moved elsewhere by the server (to a microphone,
    // say, when the source goes): it ends instead, and the owner decides where to go.
    // A player's recording goes wherever the player goes (and on PipeWire, marking it
    // unmovable would hold the player on its sink when the default output changes).
    auto flags = PA_STREAM_ADJUST_LATENCY;
    if (!sinkInput) flags = pa_stream_flags_t(flags | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream_.get(), source.c_str(), &attributes, flags) < 0) {
        pa_stream_set_state_callback(stream_.get(), nullptr, nullptr);
        pa_stream_set_read_callback(stream_.get(), nullptr, nullptr);
        return error("cannot record from the sound server: ");
    }
    return std::nullopt;
}

void PulseRecordStream::onState(pa_stream* stream, void* userdata) {
    auto* self = static_cast<PulseRecordStream*>(userdata);
    switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
            if (self->up_ || self->over_) return;
            self->up_ = true;
            if (self->ready_) self->ready_();
            return;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED: {
            if (self->over_) return;
            self->over_ = true;
            Error error = self->error(self->up_ ? "the sound server ended the recording: "
                                                : "cannot record from the sound server: ");
            if (self->ended_) self->ended_(error);
            return;
        }
        default:
            return;
    }
}

void PulseRecordStream::onRead(pa_stream* stream, size_t, void* userdata) {
    auto* self = static_cast<PulseRecordStream*>(userdata);
    while (!self->over_) {
        const void* data = nullptr;
        size_t length = 0;
        if (pa_stream_peek(stream, &data, &length) < 0 || length == 0) return;
        size_t frames = length / self->frameBytes_;
        if (frames > 0 && self->data_) self->data_(static_cast<const float*>(data), frames);
        pa_stream_drop(stream);
    }
}

}  // namespace vx
