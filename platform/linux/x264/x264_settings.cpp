#include "platform/linux/x264/x264_settings.h"

#include <algorithm>
#include <limits>

namespace vx {

namespace {

constexpr int kThreads = 2;

struct NamedProfile {
    const char* key;
    const char* x264Name;
    int levelIdc;
};
constexpr NamedProfile kProfiles[] = {
    {kProfileLevel_H264_High_4_2, "high", 42},
    {"H264_High_AutoLevel", "high", 0},
    {"H264_Main_AutoLevel", "main", 0},
    {"H264_Baseline_AutoLevel", "baseline", 0},
};

// A positive integer that x264 can hold in an int (after dividing by `unit`).
std::optional<int64_t> positive(const PropertyValue& value, int64_t unit = 1) {
    const int64_t* number = std::get_if<int64_t>(&value);
    if (!number || *number <= 0 || *number / unit > std::numeric_limits<int>::max())
        return std::nullopt;
    return *number;
}

}  // namespace

Status X264Settings::set(const std::string& key, const PropertyValue& value) {
    auto store = [&](std::optional<int64_t>& field, int64_t unit = 1) {
        std::optional<int64_t> number = positive(value, unit);
        if (!number) return kX264InvalidParameter;
        field = number;
        return Status(0);
    };
    auto storeFlag = [&](bool& field) {
        const bool* flag = std::get_if<bool>(&value);
        if (!flag) return kX264InvalidParameter;
        field = *flag;
        return Status(0);
    };
    if (key == kCompressionPropertyKey_ProfileLevel) {
        const std::string* name = std::get_if<std::string>(&value);
        if (!name) return kX264InvalidParameter;
        for (const NamedProfile& p : kProfiles)
            if (*name == p.key) {
                profile_ = Profile{p.x264Name, p.levelIdc};
                return 0;
            }
        return kX264InvalidParameter;
    }
    if (key == kCompressionPropertyKey_RealTime) return storeFlag(realTime_);
    if (key == kCompressionPropertyKey_AllowFrameReordering) return storeFlag(allowFrameReordering_);
    if (key == kCompressionPropertyKey_AverageBitRate) return store(bitRate_, 1000);
    if (key == kCompressionPropertyKey_ExpectedFrameRate) return store(fps_);
    if (key == kCompressionPropertyKey_MaxKeyFrameInterval) return store(maxKeyFrameInterval_);
    if (key == kCompressionPropertyKey_MaxKeyFrameIntervalDuration)
        return store(maxKeyFrameIntervalDuration_);
    return kX264PropertyNotSupported;
}

int X264Settings::keyFrameInterval() const {
    int64_t interval = std::numeric_limits<int>::max();
    if (maxKeyFrameInterval_) interval = std::min(interval, *maxKeyFrameInterval_);
    if (maxKeyFrameIntervalDuration_)
        interval = std::min(interval, *maxKeyFrameIntervalDuration_ * framesPerSecond());
    if (interval == std::numeric_limits<int>::max()) return 250;  // x264's own default
    return int(std::max<int64_t>(1, interval));
}

std::string X264Settings::limitPassed(int width, int height) const {
    if (width > kMaxPictureSize || height > kMaxPictureSize)
        return "the H.264 encoder takes pictures of at most " + std::to_string(kMaxPictureSize) +
               " pixels a side, not " + std::to_string(width) + "x" + std::to_string(height);
    if (bitRate_ && *bitRate_ / 1000 > kMaxKilobitsPerSecond)
        return "the H.264 encoder takes at most " + std::to_string(kMaxKilobitsPerSecond) +
               " kbit/s, not " + std::to_string(*bitRate_ / 1000);
    return {};
}

bool X264Settings::parameters(int width, int height, x264_param_t* param) const {
    // x264 refuses larger pictures when it opens, and would cut a higher rate silently.
    if (!limitPassed(width, height).empty()) return false;
    if (x264_param_default_preset(param, "ultrafast", realTime_ ? "zerolatency" : nullptr) < 0)
        return false;
    param->i_log_level = X264_LOG_NONE;
    param->i_width = width;
    param->i_height = height;
    param->i_csp = X264_CSP_NV12;
    param->i_threads = kThreads;
    param->b_sliced_threads = 1;
    param->analyse.b_mb_info = 1;  // pictures may say which macroblocks did not change
    param->b_vfr_input = 0;  // rate control by frame count: repeats of a still screen are cheap
    param->i_fps_num = uint32_t(framesPerSecond());
    param->i_fps_den = 1;
    param->i_keyint_max = keyFrameInterval();
    param->i_keyint_min = X264_KEYINT_MIN_AUTO;
    param->b_open_gop = 0;
    if (!allowFrameReordering_) param->i_bframe = 0;
    // x264's average-rate control analyses a half-size copy of every frame; the
    // encoder's own needs none and gives each frame its quantizer.
    if (bitRate_) {
        // In constant-quantizer mode x264 holds a frame's quantizer between those of its
        // key, P and B frames; factors at x264's largest (10) open that range to
        // about 10-50 around 30 (there are no B-frames to code at the B quantizer).
        param->rc.i_rc_method = X264_RC_CQP;
        param->rc.i_qp_constant = 30;
        param->rc.f_ip_factor = 10.0f;
        param->rc.f_pb_factor = 10.0f;
    }
    param->vui.i_colorprim = 1;  // BT.709
    param->vui.i_transfer = 1;
    param->vui.i_colmatrix = 1;
    param->vui.b_fullrange = 0;
    param->b_repeat_headers = 0;
    param->b_annexb = 0;
    param->b_aud = 0;
    if (profile_) {
        // The 8x8 transform is what makes a stream High profile; ultrafast leaves it off.
        if (std::string(profile_->x264Name) == "high") param->analyse.b_transform_8x8 = 1;
        if (profile_->levelIdc) param->i_level_idc = profile_->levelIdc;
        if (x264_param_apply_profile(param, profile_->x264Name) < 0) return false;
    }
    return true;
}

}  // namespace vx
