#include "platform/linux/wayland/pipewire_capture.h"

#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/utils/result.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <utility>

#include "platform/fitted_rect.h"
#include "platform/linux/wayland/frame_damage.h"
#include "platform/linux/wayland/pixel_layout.h"
#include "platform/linux/wayland/screen_cast_picture.h"
#include "platform/media_time.h"

namespace vx {

namespace {

// A frame that comes this much before its time is still taken (arrival jitter).
constexpr uint64_t kEarlySlack = 2000000;
// Beyond this many changed parts between two frames, the whole picture counts as changed.
constexpr size_t kMostDamage = 64;

const pw_core_events coreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    return events;
}();

void initPipeWire() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

const spa_pod* formatParameter(spa_pod_builder* builder, uint32_t fps) {
    const spa_rectangle defaultSize{1920, 1080}, smallest{1, 1}, largest{16384, 16384};
    const spa_fraction still{0, 1}, fastest{fps, 1}, slowest{0, 1}, largestRate{1000, 1};
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat,
        SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
        SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(9, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                               SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA, SPA_VIDEO_FORMAT_xBGR,
                               SPA_VIDEO_FORMAT_ABGR, SPA_VIDEO_FORMAT_xRGB, SPA_VIDEO_FORMAT_ARGB),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &smallest, &largest),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&still, &still, &largestRate),
        SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_CHOICE_RANGE_Fraction(&fastest, &slowest, &fastest)));
}

// A sourceWidth x sourceHeight screen fitted into a width x height picture, with even
// edges, as the start fits the first one.
PixelRect fitted(int sourceWidth, int sourceHeight, int width, int height) {
    return Nv12Converter::area(fittedRect(sourceWidth, sourceHeight, width, height), width, height);
}

}  // namespace

std::variant<std::unique_ptr<PipeWireCapture>, Error> PipeWireCapture::start(
    const FileDescriptor& pipewire, const Settings& settings, CaptureSource::Deliver deliver,
    CaptureSource::Stopped stopped) {
    initPipeWire();
    std::unique_ptr<PipeWireCapture> capture(
        new PipeWireCapture(settings, std::move(deliver), std::move(stopped)));
    if (auto error = capture->connect(pipewire)) return *error;
    if (auto error = capture->awaitStreaming()) return *error;
    return capture;
}

PipeWireCapture::PipeWireCapture(const Settings& settings, CaptureSource::Deliver deliver,
                                 CaptureSource::Stopped stopped)
    : settings_(settings),
      deliver_(std::move(deliver)),
      stopped_(std::move(stopped)),
      pool_(settings.width, settings.height, settings.pictures),
      wanted_(settings.framesWanted) {
    damage_.reserve(kMostDamage);
}

PipeWireCapture::~PipeWireCapture() {
    if (!loop_) return;
    pw_thread_loop_stop(loop_.get());
    // Tearing down reports nothing: the listeners go first.
    for (spa_hook* hook : {&streamListener_, &registryListener_, &coreListener_})
        if (hook->link.next) spa_hook_remove(hook);
    if (held_ && stream_) pw_stream_queue_buffer(stream_.get(), held_);
    if (timer_) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_.get()), timer_);
    if (wake_) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_.get()), wake_);
    stream_.reset();
    registry_.reset();
    core_.reset();
    context_.reset();
}

std::optional<Error> PipeWireCapture::connect(const FileDescriptor& pipewire) {
    loop_.reset(pw_thread_loop_new("vx-capture.wayland", nullptr));
    if (!loop_) return Error{kScreenCastFailed, "cannot make the PipeWire loop"};
    pw_loop* loop = pw_thread_loop_get_loop(loop_.get());
    context_.reset(pw_context_new(loop, nullptr, 0));
    if (!context_) return Error{kScreenCastFailed, "cannot make the PipeWire context"};
    // The core takes the descriptor it is given: a copy of the grant's.
    const int connection = fcntl(pipewire.get(), F_DUPFD_CLOEXEC, 3);
    if (connection < 0) return Error{kScreenCastFailed, "cannot use the portal's PipeWire descriptor"};
    core_.reset(pw_context_connect_fd(context_.get(), connection, nullptr, 0));
    if (!core_) return Error{kScreenCastFailed, "cannot connect to PipeWire through the portal's descriptor"};

    static const pw_core_events core = [] {
        pw_core_events events = coreEvents;
        events.error = &PipeWireCapture::onCoreError;
        return events;
    }();
    static const pw_registry_events registry = [] {
        pw_registry_events events{};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global_remove = &PipeWireCapture::onGlobalRemove;
        return events;
    }();
    static const pw_stream_events stream = [] {
        pw_stream_events events{};
        events.version = PW_VERSION_STREAM_EVENTS;
        events.state_changed = &PipeWireCapture::onStateChanged;
        events.param_changed = &PipeWireCapture::onParamChanged;
        events.process = &PipeWireCapture::onProcess;
        events.remove_buffer = &PipeWireCapture::onRemoveBuffer;
        return events;
    }();
    pw_core_add_listener(core_.get(), &coreListener_, &core, this);
    registry_.reset(pw_core_get_registry(core_.get(), PW_VERSION_REGISTRY, 0));
    if (!registry_) return Error{kScreenCastFailed, "cannot read the PipeWire registry"};
    pw_registry_add_listener(registry_.get(), &registryListener_, &registry, this);

    stream_.reset(pw_stream_new(core_.get(), "vx-capture",
                                pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                                  "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr)));
    if (!stream_) return Error{kScreenCastFailed, "cannot make the PipeWire stream"};
    pw_stream_add_listener(stream_.get(), &streamListener_, &stream, this);
    timer_ = pw_loop_add_timer(loop, &PipeWireCapture::onTimer, this);
    if (!timer_) return Error{kScreenCastFailed, "cannot make the PipeWire timer"};
    wake_ = pw_loop_add_event(loop, &PipeWireCapture::onWanted, this);
    if (!wake_) return Error{kScreenCastFailed, "cannot make the PipeWire wake-up event"};

    uint8_t space[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space, sizeof space);
    const uint64_t interval = std::max<uint64_t>(settings_.frameInterval, 1);
    const uint32_t fps = uint32_t(std::clamp<uint64_t>((1000000000 + interval - 1) / interval, 1, 1000));
    const spa_pod* params[] = {formatParameter(&builder, fps)};
    const int r = pw_stream_connect(
        stream_.get(), PW_DIRECTION_INPUT, settings_.node,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
    if (r < 0) return Error{kScreenCastFailed, std::string("cannot connect to the screen cast: ") + spa_strerror(r)};
    connected_ = true;
    if (pw_thread_loop_start(loop_.get()) < 0) return Error{kScreenCastFailed, "cannot start the PipeWire loop"};
    return std::nullopt;
}

std::optional<Error> PipeWireCapture::awaitStreaming() {
    std::unique_lock<std::mutex> lock(phaseMutex_);
    const bool ended = phaseChanged_.wait_for(lock, std::chrono::nanoseconds(settings_.startTimeout),
                                              [this] { return streaming_ || failure_; });
    if (streaming_) {
        phase_ = Phase::running;
        return std::nullopt;
    }
    phase_ = Phase::abandoned;
    if (ended && failure_) return failure_;
    return Error{kScreenCastFailed, "the screen cast did not start streaming within " +
                         std::to_string(settings_.startTimeout / 1000000000) +
                         " s (is a PipeWire session manager such as WirePlumber running?)"};
}

void PipeWireCapture::setFramesWanted(bool wanted) {
    if (wanted_.exchange(wanted) == wanted || !wanted) return;
    // The loop thread converts the change it holds, if any, at its next turn. The
    // loop's lock is not taken: the loop thread holds it while it delivers.
    pw_loop_signal_event(pw_thread_loop_get_loop(loop_.get()), wake_);
}

void PipeWireCapture::fail(Error error) {
    {
        std::lock_guard<std::mutex> guard(phaseMutex_);
        if (phase_ == Phase::starting) {
            if (!failure_) failure_ = std::move(error);
            phaseChanged_.notify_all();
            return;
        }
        if (phase_ == Phase::abandoned) return;
        phase_ = Phase::abandoned;  // the stop is reported once
    }
    stopped_(error);
}

void PipeWireCapture::onCoreError(void* data, uint32_t id, int, int res, const char* message) {
    auto* self = static_cast<PipeWireCapture*>(data);
    if (id != PW_ID_CORE) return;
    self->fail(Error{kScreenCastFailed, std::string("lost the connection to PipeWire (") +
                             (message && *message ? message : spa_strerror(res)) + ")"});
}

void PipeWireCapture::onGlobalRemove(void* data, uint32_t id) {
    auto* self = static_cast<PipeWireCapture*>(data);
    if (id != self->settings_.node) return;
    self->fail(Error{kScreenCastFailed, "the screen cast ended (PipeWire node " + std::to_string(id) +
                             " went away: the compositor or the portal stopped it)"});
}

void PipeWireCapture::onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                                     const char* error) {
    auto* self = static_cast<PipeWireCapture*>(data);
    if (state == PW_STREAM_STATE_STREAMING) self->markStarted();
    if (state == PW_STREAM_STATE_ERROR)
        self->fail(Error{kScreenCastFailed, std::string("the screen cast failed: ") + (error ? error : "stream error")});
    else if (state == PW_STREAM_STATE_UNCONNECTED && self->connected_)
        self->fail(Error{kScreenCastFailed, "the screen cast was disconnected"});
}

void PipeWireCapture::onParamChanged(void* data, uint32_t id, const spa_pod* param) {
    if (id != SPA_PARAM_Format) return;
    auto* self = static_cast<PipeWireCapture*>(data);
    // The buffers of the old format are gone (or about to go): the one held is
    // forgotten, never handed back.
    self->held_ = nullptr;
    if (param) self->formatChanged(param);
}

void PipeWireCapture::onRemoveBuffer(void* data, pw_buffer* buffer) {
    auto* self = static_cast<PipeWireCapture*>(data);
    if (self->held_ == buffer) self->held_ = nullptr;
}

PixelRect PipeWireCapture::areaFor(int sourceWidth, int sourceHeight) {
    if (firstWidth_ == 0) firstWidth_ = sourceWidth, firstHeight_ = sourceHeight;
    if (sourceWidth == firstWidth_ && sourceHeight == firstHeight_) return settings_.destination;
    return fitted(sourceWidth, sourceHeight, settings_.width, settings_.height);
}

void PipeWireCapture::formatChanged(const spa_pod* format) {
    spa_video_info_raw info{};
    uint32_t mediaType = 0, mediaSubtype = 0;
    if (spa_format_parse(format, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
        spa_format_video_raw_parse(format, &info) < 0)
        return fail(Error{kScreenCastFailed, "the screen cast offers no raw video"});
    const auto layout = pixelLayoutOf(info.format);
    if (!layout || info.size.width < 1 || info.size.height < 1)
        return fail(Error{kScreenCastFailed, "the screen cast offers no 32-bit RGB pictures"});
    const int width = int(info.size.width), height = int(info.size.height);
    if (picture_) {
        numbered_ = picture_->sequence();
        if (width != picture_->sourceWidth() || height != picture_->sourceHeight()) resized_ = true;
    }
    picture_ =
        std::make_unique<ScreenCastPicture>(*layout, width, height, settings_.width,
                                            settings_.height, areaFor(width, height), numbered_);
    damage_.clear();
    everything_ = true;

    uint8_t space[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(space, sizeof space);
    const int regions = int(sizeof(spa_meta_region));
    const spa_pod* params[] = {
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers,
            // More than the two a producer may offer by default: one of them may be
            // held here for long (see deliverPending), and a producer that finds no
            // free buffer may skip the frame and the change it carries.
            SPA_PARAM_BUFFERS_buffers, SPA_POD_CHOICE_RANGE_Int(4, 2, 16),
            SPA_PARAM_BUFFERS_dataType,
            SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd) |
                                     (1 << SPA_DATA_DmaBuf)))),
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
            SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
            SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header)))),
        static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta,
            SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
            SPA_PARAM_META_size, SPA_POD_CHOICE_RANGE_Int(regions * 16, regions, regions * 16))),
    };
    pw_stream_update_params(stream_.get(), params, 3);
}

void PipeWireCapture::onProcess(void* data) { static_cast<PipeWireCapture*>(data)->takeBuffers(); }

void PipeWireCapture::onTimer(void* data, uint64_t) {
    static_cast<PipeWireCapture*>(data)->deliverPending();
}

void PipeWireCapture::onWanted(void* data, uint64_t) {
    static_cast<PipeWireCapture*>(data)->deliverPending();
}

void PipeWireCapture::takeBuffers() {
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream_.get())) {
        if (!picture_ || frameStatusOf(*buffer->buffer) != kFrameStatusComplete) {
            pw_stream_queue_buffer(stream_.get(), buffer);
            continue;
        }
        noteDamage(*buffer->buffer);
        if (held_) pw_stream_queue_buffer(stream_.get(), held_);
        held_ = buffer;
    }
    deliverPending();
}

void PipeWireCapture::noteDamage(const spa_buffer& buffer) {
    if (everything_) return;
    if (!appendDamage(buffer, picture_->sourceWidth(), picture_->sourceHeight(), damage_) ||
        damage_.size() > kMostDamage) {
        damage_.clear();
        everything_ = true;
    }
}

void PipeWireCapture::deliverPending() {
    if (!held_ || !wanted_) return;
    const uint64_t interval = settings_.frameInterval;
    const uint64_t now = uptimeNanoseconds();
    if (now + kEarlySlack < next_) return armTimer(next_ - now);
    std::shared_ptr<ImageBuffer> picture = pool_.acquire();
    if (!picture) return armTimer(std::max<uint64_t>(interval / 4, 1000000));
    const bool filled = picture_->fill(*held_->buffer, damage_, everything_, *picture);
    pw_stream_queue_buffer(stream_.get(), held_);
    held_ = nullptr;
    if (!filled) return;  // the change stays noted for the next buffer
    damage_.clear();
    everything_ = false;
    next_ = std::max(next_, now) + interval;

    auto sample = std::make_shared<SampleBuffer>();
    sample->imageBuffer = std::move(picture);
    AttachmentDictionary info{{kStreamFrameInfoStatus, int64_t(kFrameStatusComplete)}};
    if (std::exchange(resized_, false)) info[kStreamFrameInfoScreenResized] = true;
    sample->attachments = AttachmentsArray{std::move(info)};
    sample->presentationTime = hostTime();
    deliver_(std::move(sample));
    markStarted();
}

void PipeWireCapture::markStarted() {
    std::lock_guard<std::mutex> guard(phaseMutex_);
    if (!streaming_) {
        streaming_ = true;
        phaseChanged_.notify_all();
    }
}

void PipeWireCapture::armTimer(uint64_t nanoseconds) {
    timespec value{time_t(nanoseconds / 1000000000), long(nanoseconds % 1000000000)};
    pw_loop_update_timer(pw_thread_loop_get_loop(loop_.get()), timer_, &value, nullptr, false);
}

}  // namespace vx
