#include "platform/linux/x264/x264_settings.h"

#include <algorithm>
#include <cstdarg>
#include <iterator>
#include <limits>

namespace vx {

namespace {

constexpr int kThreads = 2;
// Visually lossless: finer would spend the rate on differences nobody sees.
constexpr int kFinestQuantizer = 10;

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

// A positive integer, at most `largest`.
std::optional<int64_t> positive(const PropertyValue& value,
                                int64_t largest = std::numeric_limits<int>::max()) {
    const int64_t* number = std::get_if<int64_t>(&value);
    if (!number || *number <= 0 || *number > largest) return std::nullopt;
    return *number;
}

// The limits of the H.264 levels from 4.2 up: macroblocks a second, macroblocks a
// picture, and the peak bit rate in kbit/s in the High profile (1.25 times the base).
struct Level {
    int idc;
    int64_t macroblocksPerSecond;
    int64_t macroblocksPerPicture;
    int64_t kilobitsPerSecond;
};
constexpr Level kLevels[] = {
    {42, 522240, 8704, 62500},      {50, 589824, 22080, 168750},
    {51, 983040, 36864, 300000},    {52, 2073600, 36864, 300000},
    {60, 4177920, 139264, 300000},  {61, 8355840, 139264, 600000},
    {62, 16711680, 139264, 1000000},
};

}  // namespace

Status X264Settings::set(const std::string& key, const PropertyValue& value) {
    auto store = [&](std::optional<int64_t>& field,
                     int64_t largest = std::numeric_limits<int>::max()) {
        std::optional<int64_t> number = positive(value, largest);
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
    // Any rate is taken here; parameters() refuses one beyond x264's limit, so that the
    // opening fails with the limit named instead of x264 running at a rate of its own.
    if (key == kCompressionPropertyKey_AverageBitRate)
        return store(bitRate_, std::numeric_limits<int64_t>::max());
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

int X264Settings::bufferKilobits(int64_t kilobitsPerSecond, int fps) {
    return int(std::max(kilobitsPerSecond / 2, 2 * kilobitsPerSecond / std::max(1, fps)));
}

int X264Settings::levelFor(int width, int height, int fps, int64_t kilobitsPerSecond, int lowest) {
    const int64_t wide = (width + 15) / 16, high = (height + 15) / 16;
    const int64_t perPicture = wide * high;
    for (const Level& level : kLevels) {
        if (level.idc < lowest) continue;
        // Neither side may pass the square root of eight times the picture limit.
        const bool sides = wide * wide <= 8 * level.macroblocksPerPicture &&
                           high * high <= 8 * level.macroblocksPerPicture;
        if (sides && perPicture <= level.macroblocksPerPicture &&
            perPicture * fps <= level.macroblocksPerSecond &&
            kilobitsPerSecond <= level.kilobitsPerSecond)
            return level.idc;
    }
    return std::max(lowest, kLevels[std::size(kLevels) - 1].idc);
}

bool X264Settings::parameters(int width, int height, x264_param_t* param) const {
    // x264 refuses larger pictures when it opens, and would cut a higher rate silently.
    if (!limitPassed(width, height).empty()) return false;
    if (x264_param_default_preset(param, "ultrafast", realTime_ ? "zerolatency" : nullptr) < 0)
        return false;
    param->i_log_level = X264_LOG_NONE;
    param->pf_log = [](void*, int, const char*, va_list) {};  // never onto standard error
    param->i_width = width;
    param->i_height = height;
    param->i_csp = X264_CSP_NV12;
    param->i_threads = kThreads;
    param->b_sliced_threads = 1;
    param->analyse.b_mb_info = 1;  // pictures may say which macroblocks did not change
    // x264 counts every frame as 1/fps long; the encoder gives each frame the rate of
    // the time it stands for instead (X264Encoder).
    param->b_vfr_input = 0;
    param->i_fps_num = uint32_t(framesPerSecond());
    param->i_fps_den = 1;
    param->i_keyint_max = X264_KEYINT_MAX_INFINITE;  // the encoder places the key frames
    param->i_keyint_min = X264_KEYINT_MIN_AUTO;
    param->b_open_gop = 0;
    if (!allowFrameReordering_) param->i_bframe = 0;
    if (bitRate_) {
        // Peak rate and average alike: x264 then also spends what the buffer holds on a
        // still picture, down to the finest quantizer, where a repeat skips every block.
        const int kilobits = int(*bitRate_ / 1000);
        param->rc.i_rc_method = X264_RC_ABR;
        param->rc.i_bitrate = std::max(1, kilobits);
        param->rc.i_vbv_max_bitrate = param->rc.i_bitrate;
        param->rc.i_vbv_buffer_size = std::max(1, bufferKilobits(kilobits, framesPerSecond()));
        param->rc.i_qp_min = kFinestQuantizer;
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
        if (profile_->levelIdc)
            param->i_level_idc = levelFor(width, height, framesPerSecond(),
                                          bitRate_ ? *bitRate_ / 1000 : 0, profile_->levelIdc);
        if (x264_param_apply_profile(param, profile_->x264Name) < 0) return false;
    }
    return true;
}

}  // namespace vx
