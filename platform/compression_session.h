#pragma once
// An H.264 compression session: frames in, encoded samples out through a
// per-frame output handler.
//
// encodeFrame() may be called from several threads at once, and may block while
// the session is behind (its handlers wait on a slow pipe reader). The handler passed
// with a frame is called exactly once for that frame, later, on a thread of the
// session's own (never the caller's), with a status and, on success, a sample
// whose data is length-prefixed NAL units and whose format description holds the
// parameter sets. Samples come out in submission order.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <variant>

#include "platform/error.h"
#include "platform/media_time.h"
#include "platform/image_buffer.h"
#include "platform/sample_buffer.h"

namespace vx {

inline constexpr uint32_t kCodecTypeH264 = 0x61766331;  // 'avc1'

// Encoder-specification keys.
inline constexpr const char* kEncoderSpecification_EnableLowLatencyRateControl =
    "EnableLowLatencyRateControl";
inline constexpr const char* kEncoderSpecification_RequireHardwareAcceleratedVideoEncoder =
    "RequireHardwareAcceleratedVideoEncoder";

// Session property keys.
inline constexpr const char* kCompressionPropertyKey_ProfileLevel = "ProfileLevel";
inline constexpr const char* kCompressionPropertyKey_RealTime = "RealTime";
inline constexpr const char* kCompressionPropertyKey_AllowFrameReordering = "AllowFrameReordering";
inline constexpr const char* kCompressionPropertyKey_AverageBitRate = "AverageBitRate";
inline constexpr const char* kCompressionPropertyKey_ExpectedFrameRate = "ExpectedFrameRate";
inline constexpr const char* kCompressionPropertyKey_MaxKeyFrameInterval = "MaxKeyFrameInterval";
inline constexpr const char* kCompressionPropertyKey_MaxKeyFrameIntervalDuration =
    "MaxKeyFrameIntervalDuration";
inline constexpr const char* kProfileLevel_H264_High_4_2 = "H264_High_4_2";

// Per-frame option key.
inline constexpr const char* kEncodeFrameOptionKey_ForceKeyFrame = "ForceKeyFrame";

using EncoderSpecification = std::map<std::string, bool>;
using PropertyValue = std::variant<bool, int64_t, std::string>;
using FrameOptions = std::map<std::string, bool>;

// status, info flags (not consulted), the encoded sample (null on failure).
using OutputHandler =
    std::function<void(Status, uint32_t, std::shared_ptr<const SampleBuffer>)>;

class CompressionSession {
public:
    // Implemented by the backend that is linked in. On success *session is set;
    // a backend may also return a session together with a failure status.
    static Status create(int32_t width, int32_t height, uint32_t codecType,
                         const EncoderSpecification& specification,
                         std::shared_ptr<CompressionSession>* session);
    virtual ~CompressionSession() = default;

    virtual Status setProperty(const std::string& key, const PropertyValue& value) = 0;
    // Readies the session for the properties set so far. A non-zero status means that
    // it cannot encode with them (a size, rate or setting beyond what it takes).
    virtual Status prepareToEncodeFrames() = 0;
    // What a status this session returned means, for a person: what was refused and
    // the limit (as "width 16386 is above 16384"). Empty when the session cannot tell.
    virtual std::string statusDescription(Status /*status*/) const { return {}; }
    // options null: no per-frame options at all.
    virtual Status encodeFrame(std::shared_ptr<ImageBuffer> imageBuffer, Time presentationTime,
                               Time duration, const FrameOptions* options,
                               OutputHandler outputHandler) = 0;
};

}  // namespace vx
