#include "encode/video_encoder.h"

#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "base/diagnostics.h"
#include "encode/annex_b.h"

namespace vx {

namespace {

bool fitsInt32(int64_t value) {
    return value >= std::numeric_limits<int32_t>::min() &&
           value <= std::numeric_limits<int32_t>::max();
}

bool productFitsInt64(int64_t value, int64_t factor) {
    int64_t product = 0;
    return !__builtin_mul_overflow(value, factor, &product);
}

}  // namespace

VideoEncoder::VideoEncoder(int64_t fps) : fps(fps) {}

std::shared_ptr<VideoEncoder> VideoEncoder::create(int64_t width, int64_t height, int64_t fps,
                                                   int64_t bitrateKbps) {
    if (!fitsInt32(width) || !fitsInt32(height) || !fitsInt32(fps) ||
        !productFitsInt64(bitrateKbps, 1000) || !productFitsInt64(fps, 2)) {
        throw Error{kEncoderInvalidParameter, "invalid encoder settings (" + std::to_string(width) + "x" +
                                          std::to_string(height) + ", " + std::to_string(fps) +
                                          " fps, " + std::to_string(bitrateKbps) + " kbps)"};
    }

    std::shared_ptr<VideoEncoder> encoder(new VideoEncoder(fps));

    const EncoderSpecification lowLatency{
        {kEncoderSpecification_EnableLowLatencyRateControl, true},
        {kEncoderSpecification_RequireHardwareAcceleratedVideoEncoder, true},
    };
    const EncoderSpecification hardware{
        {kEncoderSpecification_RequireHardwareAcceleratedVideoEncoder, true},
    };

    std::shared_ptr<CompressionSession> session;
    Status status = CompressionSession::create(int32_t(width), int32_t(height), kCodecTypeH264,
                                               lowLatency, &session);
    if (status != 0) {
        log("low-latency encoder unavailable (" + std::to_string(status) +
            "), using the standard hardware encoder");
        session.reset();
        status = CompressionSession::create(int32_t(width), int32_t(height), kCodecTypeH264,
                                            hardware, &session);
    }
    if (status != 0 || !session) {
        throw Error{status, "no hardware H.264 encoder (" + std::to_string(status) + ")"};
    }

    const std::pair<const char*, PropertyValue> properties[] = {
        {kCompressionPropertyKey_ProfileLevel, std::string(kProfileLevel_H264_High_4_2)},
        {kCompressionPropertyKey_RealTime, true},
        {kCompressionPropertyKey_AllowFrameReordering, false},
        {kCompressionPropertyKey_AverageBitRate, int64_t(bitrateKbps * 1000)},
        {kCompressionPropertyKey_ExpectedFrameRate, int64_t(fps)},
        {kCompressionPropertyKey_MaxKeyFrameInterval, int64_t(fps * 2)},
        {kCompressionPropertyKey_MaxKeyFrameIntervalDuration, int64_t(2)},
    };
    for (const auto& [key, value] : properties) {
        Status rejected = session->setProperty(key, value);
        if (rejected != 0)
            log(std::string("encoder ignored ") + key + " (" + std::to_string(rejected) + ")");
    }
    // A session that cannot take these settings would encode nothing: the start fails.
    if (Status refused = session->prepareToEncodeFrames(); refused != 0) {
        std::string what = session->statusDescription(refused);
        if (what.empty()) what = "the encoder refused its settings (" + std::to_string(refused) + ")";
        throw Error{refused, what};
    }

    encoder->session = std::move(session);
    return encoder;
}

void VideoEncoder::encode(std::shared_ptr<ImageBuffer> imageBuffer, Time presentationTime) {
    if (!session) return;
    bool force;
    {
        std::lock_guard<std::mutex> guard(lock);
        force = forceKeyframe;
        forceKeyframe = false;
    }
    std::optional<FrameOptions> options;
    if (force) options = FrameOptions{{kEncodeFrameOptionKey_ForceKeyFrame, true}};
    const Time duration{1, int32_t(fps)};
    session->encodeFrame(std::move(imageBuffer), presentationTime, duration,
                         options ? &*options : nullptr, outputHandler(weak_from_this()));
}

void VideoEncoder::requestKeyframe() {
    std::lock_guard<std::mutex> guard(lock);
    forceKeyframe = true;
}

OutputHandler VideoEncoder::outputHandler(std::weak_ptr<VideoEncoder> encoder) {
    return [encoder = std::move(encoder)](Status status, uint32_t /*infoFlags*/,
                                          std::shared_ptr<const SampleBuffer> sample) {
        if (status != 0 || !sample) return;
        std::shared_ptr<VideoEncoder> owner = encoder.lock();
        if (!owner) return;
        std::optional<std::vector<uint8_t>> unit = AnnexB::annexB(*sample);
        if (!unit || unit->empty()) return;
        if (owner->onAccessUnit) owner->onAccessUnit(std::move(*unit));
    };
}

}  // namespace vx
