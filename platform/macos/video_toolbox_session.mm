#include "platform/macos/video_toolbox_session.h"

#include <climits>
#include <string>
#include <string_view>
#include <variant>

#include "platform/macos/core_media_sample.h"
#include "platform/macos/image_buffer.h"

namespace vx {

namespace {

static_assert(kCodecTypeH264 == kCMVideoCodecType_H264);
static_assert(kEncoderInvalidParameter == kVTParameterErr);

struct KeyName {
    std::string_view name;
    CFStringRef key;
};

// The boundary's key names and VideoToolbox's keys, one table per kind of map.
CFStringRef frameworkKey(std::string_view name, std::initializer_list<KeyName> table) {
    for (const KeyName& entry : table)
        if (entry.name == name) return entry.key;
    return nullptr;
}

CFStringRef specificationKey(std::string_view name) {
    return frameworkKey(name, {
        {kEncoderSpecification_EnableLowLatencyRateControl,
         kVTVideoEncoderSpecification_EnableLowLatencyRateControl},
        {kEncoderSpecification_RequireHardwareAcceleratedVideoEncoder,
         kVTVideoEncoderSpecification_RequireHardwareAcceleratedVideoEncoder},
    });
}

CFStringRef propertyKey(std::string_view name) {
    return frameworkKey(name, {
        {kCompressionPropertyKey_ProfileLevel, kVTCompressionPropertyKey_ProfileLevel},
        {kCompressionPropertyKey_RealTime, kVTCompressionPropertyKey_RealTime},
        {kCompressionPropertyKey_AllowFrameReordering, kVTCompressionPropertyKey_AllowFrameReordering},
        {kCompressionPropertyKey_AverageBitRate, kVTCompressionPropertyKey_AverageBitRate},
        {kCompressionPropertyKey_ExpectedFrameRate, kVTCompressionPropertyKey_ExpectedFrameRate},
        {kCompressionPropertyKey_MaxKeyFrameInterval, kVTCompressionPropertyKey_MaxKeyFrameInterval},
        {kCompressionPropertyKey_MaxKeyFrameIntervalDuration,
         kVTCompressionPropertyKey_MaxKeyFrameIntervalDuration},
    });
}

CFStringRef frameOptionKey(std::string_view name) {
    return frameworkKey(name, {
        {kEncodeFrameOptionKey_ForceKeyFrame, kVTEncodeFrameOptionKey_ForceKeyFrame},
    });
}

CFStringRef profileLevel(std::string_view name) {
    return frameworkKey(name, {{kProfileLevel_H264_High_4_2, kVTProfileLevel_H264_High_4_2}});
}

// A map of Boolean entries as a CFDictionary; keys VideoToolbox does not know are
// left out, as an encoder would ignore them. Null for an empty map.
CFRef<CFDictionaryRef> booleanDictionary(const std::map<std::string, bool>& entries,
                                         CFStringRef (*keyFor)(std::string_view)) {
    if (entries.empty()) return {};
    CFMutableDictionaryRef dictionary =
        CFDictionaryCreateMutable(kCFAllocatorDefault, CFIndex(entries.size()),
                                  &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    for (const auto& [name, value] : entries) {
        if (CFStringRef key = keyFor(name))
            CFDictionarySetValue(dictionary, key, value ? kCFBooleanTrue : kCFBooleanFalse);
    }
    return CFRef<CFDictionaryRef>::adopt(dictionary);
}

// A property value as CoreFoundation: CFBoolean, a 64-bit CFNumber, or for the
// profile level VideoToolbox's own constant (other texts as CFString).
CFRef<CFTypeRef> propertyValue(const PropertyValue& value) {
    if (const bool* flag = std::get_if<bool>(&value))
        return CFRef<CFTypeRef>::retain(*flag ? kCFBooleanTrue : kCFBooleanFalse);
    if (const int64_t* number = std::get_if<int64_t>(&value))
        return CFRef<CFTypeRef>::adopt(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, number));
    const std::string& text = std::get<std::string>(value);
    if (CFStringRef constant = profileLevel(text)) return CFRef<CFTypeRef>::retain(constant);
    return CFRef<CFTypeRef>::adopt(
        CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8));
}

CMTime frameworkTime(Time time) { return CMTimeMake(time.value, time.timescale); }

}  // namespace

Status CompressionSession::create(int32_t width, int32_t height, uint32_t codecType,
                                  const EncoderSpecification& specification,
                                  std::shared_ptr<CompressionSession>* session) {
    CFRef<CFDictionaryRef> encoderSpecification = booleanDictionary(specification, specificationKey);
    VTCompressionSessionRef created = nullptr;
    const OSStatus status = VTCompressionSessionCreate(
        kCFAllocatorDefault, width, height, CMVideoCodecType(codecType), encoderSpecification.get(),
        nullptr, kCFAllocatorDefault, nullptr, nullptr, &created);
    if (created)
        *session = std::make_shared<VideoToolboxSession>(CFRef<VTCompressionSessionRef>::adopt(created));
    return status;
}

Status VideoToolboxSession::setProperty(const std::string& key, const PropertyValue& value) {
    CFStringRef frameworkKey = propertyKey(key);
    if (!frameworkKey) return kVTPropertyNotSupportedErr;
    const int64_t* number = std::get_if<int64_t>(&value);
    if (number && key == kCompressionPropertyKey_AverageBitRate && *number > INT32_MAX) {
        // VideoToolbox holds the bit rate in 32 bits. The start fails in
        // prepareToEncodeFrames with this as its one line.
        std::lock_guard<std::mutex> guard(lock_);
        refused_ = "bit rate " + std::to_string(*number / 1000) + " kbit/s is above " +
                   std::to_string(INT32_MAX / 1000) + " kbit/s, the most VideoToolbox takes";
        return noErr;
    }
    if (number && key == kCompressionPropertyKey_ExpectedFrameRate && *number > 0 &&
        *number <= INT32_MAX) {
        std::lock_guard<std::mutex> guard(lock_);
        framesPerSecond_ = *number;
    }
    CFRef<CFTypeRef> frameworkValue = propertyValue(value);
    return VTSessionSetProperty(session_.get(), frameworkKey, frameworkValue.get());
}

Status VideoToolboxSession::prepareToEncodeFrames() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!refused_.empty()) return kVTParameterErr;
        keyframes_.emplace(int(framesPerSecond_));
    }
    return VTCompressionSessionPrepareToEncodeFrames(session_.get());
}

std::string VideoToolboxSession::statusDescription(Status status) const {
    std::lock_guard<std::mutex> guard(lock_);
    return status == kVTParameterErr ? refused_ : std::string();
}

Status VideoToolboxSession::encodeFrame(std::shared_ptr<ImageBuffer> imageBuffer,
                                        Time presentationTime, Time duration,
                                        const FrameOptions* options, OutputHandler outputHandler) {
    if (!imageBuffer) return kVTParameterErr;
    FrameOptions frameOptions = options ? *options : FrameOptions{};
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!keyframes_) keyframes_.emplace(int(framesPerSecond_));
        const bool asked = frameOptions[kEncodeFrameOptionKey_ForceKeyFrame];
        if (keyframes_->due(presentationTime) || asked) {
            frameOptions[kEncodeFrameOptionKey_ForceKeyFrame] = true;
            keyframes_->keyFrameProduced(presentationTime);
        } else {
            frameOptions.erase(kEncodeFrameOptionKey_ForceKeyFrame);
        }
    }
    CFRef<CFDictionaryRef> frameProperties = booleanDictionary(frameOptions, frameOptionKey);
    return VTCompressionSessionEncodeFrameWithOutputHandler(
        session_.get(), imageBuffer->pixelBuffer(), frameworkTime(presentationTime),
        frameworkTime(duration), frameProperties.get(), nullptr,
        ^(OSStatus status, VTEncodeInfoFlags infoFlags, CMSampleBufferRef sample) {
          outputHandler(status, uint32_t(infoFlags), sample ? encodedSample(sample) : nullptr);
        });
}

}  // namespace vx
