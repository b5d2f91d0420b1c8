#include "platform/linux/x264/x264_encoder.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/linux/x264/x264_settings.h"
#include "platform/nv12/image_buffer.h"

namespace vx {

namespace {
constexpr int kLengthFieldSize = 4;
// The largest rate buffer, in seconds of the rate: a key frame then takes at most
// about a second of it.
constexpr int kLargestBufferSeconds = 2;
// The buffer the first frame finds, in seconds of the rate.
constexpr int kFirstBufferSeconds = 1;
// How often the detail of a changing picture is noted for the planner (a few tens of
// microseconds each time).
constexpr double kDetailSeconds = 0.1;
// x264's line for each frame coded at its debug level, and where its mean quantizer is.
constexpr char kFrameLine[] = "frame=%4d QP=%.2f";

// Keeps the mean quantizer of the frame x264 has just coded; x264's other lines go
// nowhere.
void readQuantizer(void* quantizer, int level, const char* format, va_list arguments) {
    if (level != X264_LOG_DEBUG || std::strncmp(format, kFrameLine, sizeof kFrameLine - 1) != 0)
        return;
    va_list copy;
    va_copy(copy, arguments);
    (void)va_arg(copy, int);
    *static_cast<double*>(quantizer) = va_arg(copy, double);
    va_end(copy);
}

double seconds(Time time) { return time.timescale ? double(time.value) / time.timescale : 0.0; }

std::vector<uint8_t> withoutLengthField(const x264_nal_t& nal) {
    if (nal.i_payload <= kLengthFieldSize) return {};
    return std::vector<uint8_t>(nal.p_payload + kLengthFieldSize, nal.p_payload + nal.i_payload);
}
}  // namespace

std::unique_ptr<X264Encoder> X264Encoder::open(x264_param_t param, KeyFrames keyFrames,
                                               Status* status) {
    // x264 tells the quantizer of each frame only in its debug line.
    auto quantizer = std::make_unique<double>(-1);
    param.i_log_level = X264_LOG_DEBUG;
    param.pf_log = readQuantizer;
    param.p_log_private = quantizer.get();
    // The first frame finds a buffer of a second of the rate, nine tenths full: nothing has
    // been spent yet, and the frames after the first key frame refine it at once instead
    // of waiting for a half-second buffer to refill. The planner takes it back to the
    // buffer as set from the next frame on.
    const int baseKilobits = param.rc.i_vbv_buffer_size;
    const bool planned = param.rc.i_rc_method == X264_RC_ABR && baseKilobits > 0;
    if (planned)
        param.rc.i_vbv_buffer_size = int(std::max<int64_t>(
            baseKilobits,
            std::min<int64_t>(int64_t(kFirstBufferSeconds) * param.rc.i_bitrate, INT32_MAX)));
    std::unique_ptr<x264_t, Closer> encoder(x264_encoder_open(&param));
    if (!encoder) {
        *status = kX264InvalidParameter;
        return nullptr;
    }
    x264_nal_t* nals = nullptr;
    int count = 0;
    if (x264_encoder_headers(encoder.get(), &nals, &count) < 0) {
        *status = kX264EncoderFailed;
        return nullptr;
    }
    auto description = std::make_shared<FormatDescription>();
    for (int i = 0; i < count; ++i)
        if (nals[i].i_type == NAL_SPS || nals[i].i_type == NAL_PPS)
            description->parameterSets.push_back({withoutLengthField(nals[i])});
    description->nalUnitHeaderLength = kLengthFieldSize;
    *status = 0;
    std::unique_ptr<X264Encoder> opened(
        new X264Encoder(std::move(encoder), param.i_width, param.i_height, std::move(description),
                        KeyframeClock(keyFrames.interval, keyFrames.maxSeconds)));
    opened->quantizer_ = std::move(quantizer);
    x264_encoder_parameters(opened->encoder_.get(), &opened->rate_);
    const x264_param_t& rate = opened->rate_;
    if (planned && rate.rc.i_vbv_buffer_size > 0) {
        opened->kilobitsPerSecond_ = rate.rc.i_bitrate;
        opened->pacedKilobits_ = rate.rc.i_bitrate;
        opened->planner_.emplace(
            rate.rc.i_bitrate, int(rate.i_fps_num / std::max(1u, rate.i_fps_den)), baseKilobits,
            int(std::min<int64_t>(int64_t(kLargestBufferSeconds) * rate.rc.i_bitrate, INT32_MAX)),
            rate.rc.i_qp_min, rate.rc.i_vbv_buffer_size);
    }
    return opened;
}

X264Encoder::X264Encoder(std::unique_ptr<x264_t, Closer> encoder, int width, int height,
                         std::shared_ptr<const FormatDescription> description,
                         KeyframeClock keyFrames)
    : encoder_(std::move(encoder)),
      width_(width),
      height_(height),
      description_(std::move(description)),
      keyFrames_(keyFrames) {}

X264Encoder::~X264Encoder() {
    while (!pending_.empty() && x264_encoder_delayed_frames(encoder_.get()) > 0) {
        x264_nal_t* nals = nullptr;
        int count = 0;
        x264_picture_t output;
        int size = x264_encoder_encode(encoder_.get(), &nals, &count, nullptr, &output);
        if (size < 0) break;
        if (size > 0) deliver(nals, count, output);
    }
    while (!pending_.empty()) {
        fail(std::move(pending_.front()));
        pending_.pop_front();
    }
}

void X264Encoder::encode(const std::shared_ptr<ImageBuffer>& picture, Time presentationTime,
                         bool forceIdr, OutputHandler handler) {
    if (!picture || picture->width() != width_ || picture->height() != height_) {
        keyFrames_.reset();
        fail(Pending{std::move(handler), presentationTime});
        return;
    }
    x264_picture_t input;
    x264_picture_init(&input);
    input.img.i_csp = X264_CSP_NV12;
    input.img.i_plane = 2;
    for (int plane = 0; plane < 2; ++plane) {
        input.img.plane[plane] = picture->plane(plane);
        input.img.i_stride[plane] = picture->stride(plane);
    }
    input.i_pts = nextPts_++;
    bool repeat = false;
    input.prop.mb_info = macroblockHints(*picture, &repeat);
    const double now = seconds(presentationTime);
    if (!repeat || !changedAt_) changedAt_ = now;
    // Asked for or not, the clock counts the frame.
    const bool key = keyFrames_.due(presentationTime, repeat) || forceIdr;
    input.i_type = key ? X264_TYPE_IDR : X264_TYPE_P;
    if (key) {
        input.prop.mb_info = nullptr;  // nothing to refer to
    }
    double detail = 0;
    if (key && planner_) {
        detail = KeyFramePlanner::detail(picture->plane(0), width_, height_, picture->stride(0));
        const double stillFor = now - *changedAt_;
        input.i_qpplus1 = planner_->keyFrameQuantizer(detail, stillFor) + 1;  // 1: x264's choice
    } else if (planner_ && !repeat && (!detailAt_ || now - *detailAt_ >= kDetailSeconds)) {
        planner_->pictureDetail(
            KeyFramePlanner::detail(picture->plane(0), width_, height_, picture->stride(0)));
        detailAt_ = now;
    }
    paceRate(now);

    pending_.push_back(Pending{std::move(handler), presentationTime, detail});
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t output;
    const int size = x264_encoder_encode(encoder_.get(), &nals, &count, &input, &output);
    if (size < 0) {
        lastSequence_ = 0;   // x264's last picture is not this one
        keyFrames_.reset();  // nor may the next frame refer to it
        Pending failed = std::move(pending_.back());
        pending_.pop_back();
        fail(std::move(failed));
    } else if (size > 0) {
        deliver(nals, count, output);
    }
}

void X264Encoder::paceRate(double presentationTime) {
    if (!kilobitsPerSecond_) return;
    const double fps = double(rate_.i_fps_num) / std::max(1u, rate_.i_fps_den);
    const double frame = 1.0 / fps;
    // A gap longer than fills the buffer fills it, no more.
    const double longest = double(rate_.rc.i_vbv_buffer_size) / kilobitsPerSecond_;
    const double interval =
        lastSeconds_ ? std::clamp(presentationTime - *lastSeconds_, 0.0, longest) : frame;
    lastSeconds_ = presentationTime;
    const int kilobits = std::max(1, int(std::lround(kilobitsPerSecond_ * interval * fps)));
    const int buffer = planner_->bufferKilobits();
    if (kilobits == pacedKilobits_ && buffer == rate_.rc.i_vbv_buffer_size) return;
    // Average and peak alike, as opened; x264 applies it from the next frame on.
    const int bufferBefore = rate_.rc.i_vbv_buffer_size;
    rate_.rc.i_bitrate = kilobits;
    rate_.rc.i_vbv_max_bitrate = kilobits;
    rate_.rc.i_vbv_buffer_size = buffer;
    if (x264_encoder_reconfig(encoder_.get(), &rate_) == 0) pacedKilobits_ = kilobits;
    else rate_.rc.i_vbv_buffer_size = bufferBefore;
}

uint8_t* X264Encoder::macroblockHints(const ImageBuffer& picture, bool* repeat) {
    const uint64_t sequence = picture.sequence();
    const uint64_t last = std::exchange(lastSequence_, sequence);
    *repeat = sequence != 0 && sequence == last;
    const bool follows = sequence > 1 && last != 0 && sequence == last + 1;
    if (!*repeat && !follows) return nullptr;
    std::vector<uint8_t>& hints = hints_[nextHints_];
    nextHints_ = (nextHints_ + 1) % hints_.size();
    const size_t count = size_t(picture.macroblocksWide()) * size_t(picture.macroblocksHigh());
    hints.resize(count);  // allocates on the first use of each array only
    if (*repeat) {
        std::fill(hints.begin(), hints.end(), uint8_t(X264_MBINFO_CONSTANT));
    } else {
        const uint8_t* map = picture.changedMacroblocks();
        for (size_t i = 0; i < count; ++i) hints[i] = map[i] ? 0 : uint8_t(X264_MBINFO_CONSTANT);
    }
    return hints.data();
}

void X264Encoder::deliver(const x264_nal_t* nals, int count, const x264_picture_t& output) {
    if (pending_.empty()) return;
    Pending frame = std::move(pending_.front());
    pending_.pop_front();

    // The payloads lie back to back in x264's buffer, each behind its length field.
    size_t size = 0;
    for (int i = 0; i < count; ++i) size += size_t(nals[i].i_payload);
    std::vector<uint8_t> bytes(nals[0].p_payload, nals[0].p_payload + size);

    auto sample = std::make_shared<SampleBuffer>();
    sample->dataBuffer = std::make_shared<BlockBuffer>(std::move(bytes));
    sample->formatDescription = description_;
    sample->attachments = AttachmentsArray{{{kSampleAttachmentKeyNotSync, !output.b_keyframe}}};
    sample->presentationTime = frame.presentationTime;
    if (planner_)
        planner_->coded(seconds(frame.presentationTime), int64_t(size) * 8, output.b_keyframe,
                        std::exchange(*quantizer_, -1.0), frame.detail);
    if (output.b_keyframe) keyFrames_.keyFrameProduced(frame.presentationTime);
    if (frame.handler) frame.handler(0, 0, std::move(sample));
}

void X264Encoder::fail(Pending pending) {
    if (pending.handler) pending.handler(kX264EncoderFailed, 0, nullptr);
}

}  // namespace vx
