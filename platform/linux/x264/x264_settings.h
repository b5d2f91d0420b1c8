#pragma once
// The compression-session properties that libx264 understands, collected before the
// encoder opens, and the x264 parameters they make.
//
// Mapping: ProfileLevel -> profile and level (H264_High_4_2: High, at least level 4.2,
// higher where the picture size, frame rate or bit rate needs it: levelFor());
// RealTime true -> zero-latency tuning (no lookahead, no frame delay);
// AllowFrameReordering false -> no B-frames; AverageBitRate -> x264's own rate control
// at that rate with a buffer (VBV) of the same peak rate and of half a second, or two
// frames where that is more (bufferKilobits()); ExpectedFrameRate -> the frame rate;
// MaxKeyFrameInterval (frames) and MaxKeyFrameIntervalDuration (seconds) -> the IDR
// interval, the smaller of the two, which the encoder places itself (x264 places
// none). Every picture is coded with the ultrafast preset, two slice threads, BT.709
// video-range colour signalled in the VUI, and the output in length-prefixed form
// (4-byte lengths) without in-band SPS/PPS. x264's own log lines go nowhere.
//
// Not thread-safe: the session guards it.
#include <cstdint>
#include <optional>
#include <string>

#include <x264.h>

#include "platform/compression_session.h"

namespace vx {

// What X264Settings and the session report.
inline constexpr Status kX264PropertyNotSupported = -12900;
inline constexpr Status kX264InvalidParameter = kEncoderInvalidParameter;
inline constexpr Status kX264PropertyReadOnly = -12903;
inline constexpr Status kX264CodecNotSupported = -12908;
inline constexpr Status kX264EncoderFailed = -12911;

class X264Settings {
public:
    // What libx264 takes: pictures of at most this many pixels a side, and an average
    // bit rate of at most this many kbit/s.
    static constexpr int kMaxPictureSize = 16384;
    static constexpr int64_t kMaxKilobitsPerSecond = 2000000;

    // 0 for a known key with a usable value; kX264PropertyNotSupported for an unknown
    // key, kX264InvalidParameter for a value of the wrong type or range.
    Status set(const std::string& key, const PropertyValue& value);

    // x264's parameters for width x height NV12 pictures. False when x264 refuses them,
    // or when the size or the bit rate lies beyond what x264 takes (see above): the
    // encoder then fails to open, and prepareToEncodeFrames() with it.
    bool parameters(int width, int height, x264_param_t* param) const;

    // Why parameters() refuses width x height for a limit of ours, naming the value
    // and the limit; empty when no such limit is passed.
    std::string limitPassed(int width, int height) const;

    // The IDR interval in frames: the smaller of the two key-frame properties, or
    // x264's default when neither is set.
    int keyFrameInterval() const;
    int framesPerSecond() const { return int(fps_.value_or(kDefaultFps)); }
    // MaxKeyFrameIntervalDuration in seconds, when set. The encoder holds to this in
    // presentation time (a still screen sends few frames).
    std::optional<int64_t> maxKeyFrameSeconds() const { return maxKeyFrameIntervalDuration_; }
    // AverageBitRate, when set.
    std::optional<int64_t> bitsPerSecond() const { return bitRate_; }
    // The rate buffer for kilobitsPerSecond at fps frames a second: half a second, and
    // never less than two frames' share, so a key frame at a low frame rate still has
    // room beyond one frame's.
    static int bufferKilobits(int64_t kilobitsPerSecond, int fps);
    // The lowest H.264 level (level_idc, 42 for 4.2) from `lowest` up that holds
    // width x height pictures at fps frames a second and the peak rate in kbit/s
    // (0: none) in the High profile's limits. Beyond level 6.2's limits: 62, the
    // highest there is.
    static int levelFor(int width, int height, int fps, int64_t kilobitsPerSecond, int lowest);

private:
    static constexpr int64_t kDefaultFps = 60;

    struct Profile {
        const char* x264Name;
        int levelIdc;  // 0: x264 chooses
    };
    std::optional<Profile> profile_;
    bool realTime_ = false;
    bool allowFrameReordering_ = true;
    std::optional<int64_t> bitRate_;  // bits per second
    std::optional<int64_t> fps_;
    std::optional<int64_t> maxKeyFrameInterval_;
    std::optional<int64_t> maxKeyFrameIntervalDuration_;
};

}  // namespace vx
