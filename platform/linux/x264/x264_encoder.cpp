#include "platform/linux/x264/x264_encoder.h"

#include <algorithm>
#include <utility>

#include "platform/linux/x264/x264_settings.h"
#include "platform/nv12/image_buffer.h"

namespace vx {

namespace {
constexpr int kLengthFieldSize = 4;
// The quantizer at or below which a still picture counts as coded well enough.
constexpr int kSettledQuantizer = 24;

double seconds(Time time) { return time.timescale ? double(time.value) / time.timescale : 0.0; }

std::vector<uint8_t> withoutLengthField(const x264_nal_t& nal) {
    if (nal.i_payload <= kLengthFieldSize) return {};
    return std::vector<uint8_t>(nal.p_payload + kLengthFieldSize, nal.p_payload + nal.i_payload);
}
}  // namespace

std::unique_ptr<X264Encoder> X264Encoder::open(x264_param_t param,
                                               std::optional<int64_t> maxKeyFrameSeconds,
                                               std::optional<int64_t> bitsPerSecond,
                                               Status* status) {
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
        new X264Encoder(std::move(encoder), param.i_width, param.i_height, std::move(description)));
    if (maxKeyFrameSeconds) opened->maxKeyFrameSeconds_ = double(*maxKeyFrameSeconds);
    opened->keyFrameInterval_ = param.i_keyint_max;
    if (bitsPerSecond) {
        x264_param_t effective;
        x264_encoder_parameters(opened->encoder_.get(), &effective);  // with the quantizer range
        opened->rateControl_ = std::make_unique<X264RateControl>(
            *bitsPerSecond, int(param.i_fps_num / std::max(1u, param.i_fps_den)),
            opened->macroblocks_, effective.rc.i_qp_min, effective.rc.i_qp_max);
    }
    return opened;
}

X264Encoder::X264Encoder(std::unique_ptr<x264_t, Closer> encoder, int width, int height,
                         std::shared_ptr<const FormatDescription> description)
    : encoder_(std::move(encoder)),
      width_(width),
      height_(height),
      macroblocks_(((width + 15) / 16) * ((height + 15) / 16)),
      description_(std::move(description)) {}

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
    if (maxKeyFrameSeconds_ && lastKeyFrameSeconds_ &&
        seconds(presentationTime) - *lastKeyFrameSeconds_ >= *maxKeyFrameSeconds_)
        forceIdr = true;
    int changed = 0;
    input.prop.mb_info = macroblockHints(*picture, &changed);
    Pending frame{std::move(handler), presentationTime, changed, true};
    chooseFrameType(forceIdr, &input, &frame);

    pending_.push_back(std::move(frame));
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t output;
    int size = x264_encoder_encode(encoder_.get(), &nals, &count, &input, &output);
    if (size > 0 && rateControl_ && !output.b_keyframe) {
        const Pending& done = pending_.back();
        if (std::optional<int> q = rateControl_->keyFrameInstead(
                int64_t(size) * 8, output.i_qpplus1 - 1, done.changed, done.whole)) {
            // Dropped unseen. As a key frame the picture again needs nothing from the
            // frame x264 just made, so no reader misses it.
            input.i_type = X264_TYPE_IDR;
            input.i_qpplus1 = *q + 1;
            input.i_pts = nextPts_++;
            input.prop.mb_info = nullptr;
            pending_.back().whole = true;
            size = x264_encoder_encode(encoder_.get(), &nals, &count, &input, &output);
        }
    }
    if (size < 0) {
        lastSequence_ = 0;  // x264's last picture is not this one
        Pending failed = std::move(pending_.back());
        pending_.pop_back();
        fail(std::move(failed));
    } else if (size > 0) {
        deliver(nals, count, output);
    }
}

void X264Encoder::chooseFrameType(bool forceIdr, x264_picture_t* input, Pending* frame) const {
    const int changed = frame->changed;
    if (rateControl_) {
        // x264 would place a key frame here by its count; placing it here instead
        // lets the rate control choose its quantizer as a key frame's.
        const bool key =
            forceIdr || !lastQuantizer_ || framesSinceKeyFrame_ + 1 >= keyFrameInterval_;
        const int previous = lastQuantizer_.value_or(-1);
        const int q = rateControl_->quantizer(key, changed, previous);
        input->i_type = key ? X264_TYPE_IDR : X264_TYPE_P;
        input->i_qpplus1 = q + 1;
        frame->whole = key || q < previous;
        return;
    }
    input->i_type = forceIdr ? X264_TYPE_IDR : X264_TYPE_AUTO;
    // x264 skips a macroblock marked constant only where its reference was coded at no
    // finer a quantizer than the frame at hand. A repeat of a picture that has settled
    // (coded finely enough) is coded at the quantizer of the frame before it, so every
    // macroblock is skipped. Never a key frame, so never when x264 is due to place one
    // by its frame count.
    const bool repeat = changed == 0 && input->prop.mb_info;
    if (repeat && !forceIdr && lastQuantizer_ && *lastQuantizer_ <= kSettledQuantizer &&
        framesSinceKeyFrame_ + 1 < keyFrameInterval_) {
        input->i_type = X264_TYPE_P;
        input->i_qpplus1 = *lastQuantizer_ + 1;
    }
}

uint8_t* X264Encoder::macroblockHints(const ImageBuffer& picture, int* changed) {
    *changed = macroblocks_;
    const uint64_t sequence = picture.sequence();
    const uint64_t last = std::exchange(lastSequence_, sequence);
    const bool repeat = sequence != 0 && sequence == last;
    const bool follows = sequence > 1 && last != 0 && sequence == last + 1;
    if (!repeat && !follows) return nullptr;
    std::vector<uint8_t>& hints = hints_[nextHints_];
    nextHints_ = (nextHints_ + 1) % hints_.size();
    const size_t count = size_t(picture.macroblocksWide()) * size_t(picture.macroblocksHigh());
    hints.resize(count);  // allocates on the first use of each array only
    *changed = 0;
    if (repeat) {
        std::fill(hints.begin(), hints.end(), uint8_t(X264_MBINFO_CONSTANT));
    } else {
        const uint8_t* map = picture.changedMacroblocks();
        int marked = 0;  // counted here, not through the pointer the byte stores may alias
        for (size_t i = 0; i < count; ++i) {
            hints[i] = map[i] ? 0 : uint8_t(X264_MBINFO_CONSTANT);
            marked += map[i] ? 1 : 0;
        }
        *changed = marked;
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
    if (output.b_keyframe) lastKeyFrameSeconds_ = seconds(frame.presentationTime);
    framesSinceKeyFrame_ = output.b_keyframe ? 0 : framesSinceKeyFrame_ + 1;
    if (output.i_qpplus1 > 0) lastQuantizer_ = output.i_qpplus1 - 1;
    if (rateControl_ && lastQuantizer_)
        rateControl_->frameDone(int64_t(size) * 8, *lastQuantizer_, output.b_keyframe,
                                frame.changed, frame.whole || output.b_keyframe);
    if (frame.handler) frame.handler(0, 0, std::move(sample));
}

void X264Encoder::fail(Pending pending) {
    if (pending.handler) pending.handler(kX264EncoderFailed, 0, nullptr);
}

}  // namespace vx
