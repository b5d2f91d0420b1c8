#include "platform/macos/core_media_sample.h"

#import <ScreenCaptureKit/ScreenCaptureKit.h>

#include <optional>
#include <string>

#include "platform/macos/cf_ref.h"
#include "platform/macos/image_buffer.h"
#include "platform/macos/video_format_description.h"

namespace vx {

namespace {

static_assert(kAudioFormatLinearPCM == ::kAudioFormatLinearPCM);
static_assert(kAudioFormatFlagIsFloat == ::kAudioFormatFlagIsFloat);
static_assert(kAudioFormatFlagIsNonInterleaved == ::kAudioFormatFlagIsNonInterleaved);

std::optional<AttachmentValue> attachmentValue(CFTypeRef value) {
    if (!value) return std::nullopt;
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFBooleanGetTypeID()) return bool(CFBooleanGetValue(CFBooleanRef(value)));
    if (type == CFNumberGetTypeID()) {
        const auto number = CFNumberRef(value);
        if (CFNumberIsFloatType(number)) {
            double real = 0;
            CFNumberGetValue(number, kCFNumberDoubleType, &real);
            return real;
        }
        int64_t integer = 0;
        CFNumberGetValue(number, kCFNumberSInt64Type, &integer);
        return integer;
    }
    if (type == CFStringGetTypeID()) {
        if (const char* text = CFStringGetCStringPtr(CFStringRef(value), kCFStringEncodingUTF8))
            return std::string(text);
        char buffer[256];
        if (CFStringGetCString(CFStringRef(value), buffer, sizeof buffer, kCFStringEncodingUTF8))
            return std::string(buffer);
    }
    return std::nullopt;
}

// CMSampleBufferGetSampleAttachmentsArray without creating one: absent when the
// sample has none; otherwise the first dictionary's entry for key, under name.
std::optional<AttachmentsArray> attachments(CMSampleBufferRef sample, CFStringRef key,
                                            const char* name) {
    CFArrayRef array = CMSampleBufferGetSampleAttachmentsArray(sample, false);
    if (!array) return std::nullopt;
    AttachmentsArray result;
    if (CFArrayGetCount(array) == 0) return result;
    AttachmentDictionary first;
    CFTypeRef dictionary = CFArrayGetValueAtIndex(array, 0);
    if (dictionary && CFGetTypeID(dictionary) == CFDictionaryGetTypeID()) {
        if (auto value = attachmentValue(CFDictionaryGetValue(CFDictionaryRef(dictionary), key)))
            first.emplace(name, std::move(*value));
    }
    result.push_back(std::move(first));
    return result;
}

Time presentationTime(CMSampleBufferRef sample) {
    const CMTime time = CMSampleBufferGetPresentationTimeStamp(sample);
    return Time{time.value, time.timescale};
}

std::shared_ptr<const FormatDescription> audioDescription(CMSampleBufferRef sample) {
    CMFormatDescriptionRef format = CMSampleBufferGetFormatDescription(sample);
    if (!format) return nullptr;
    auto description = std::make_shared<FormatDescription>();
    if (const ::AudioStreamBasicDescription* basic =
            CMAudioFormatDescriptionGetStreamBasicDescription(format)) {
        description->audioStreamBasicDescription = AudioStreamBasicDescription{
            basic->mSampleRate, basic->mFormatID, basic->mFormatFlags, basic->mBitsPerChannel,
            basic->mChannelsPerFrame};
    }
    return description;
}

// CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer: the list's buffers
// point into the block buffer, which the sample keeps (audioData) as long as the
// list can be read. A failure leaves the list absent.
void takeAudioBufferList(CMSampleBufferRef sample, SampleBuffer& into) {
    size_t needed = 0;
    if (CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
            sample, &needed, nullptr, 0, kCFAllocatorDefault, kCFAllocatorDefault, 0, nullptr) != noErr ||
        needed < sizeof(::AudioBufferList))
        return;
    // Room for a few buffers on the stack; more channels than that go to the heap.
    constexpr size_t kLocalBuffers = 16;
    alignas(::AudioBufferList) unsigned char local[sizeof(::AudioBufferList) +
                                                   (kLocalBuffers - 1) * sizeof(::AudioBuffer)];
    std::unique_ptr<::AudioBuffer[]> heap;
    void* storage = local;
    if (needed > sizeof local) {
        heap = std::make_unique<::AudioBuffer[]>(needed / sizeof(::AudioBuffer) + 1);
        storage = heap.get();
    }
    auto* list = static_cast<::AudioBufferList*>(storage);
    CMBlockBufferRef retained = nullptr;
    if (CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
            sample, nullptr, list, needed, kCFAllocatorDefault, kCFAllocatorDefault, 0, &retained) != noErr)
        return;
    CFRef<CMBlockBufferRef> block = CFRef<CMBlockBufferRef>::adopt(retained);

    AudioBufferList buffers;
    buffers.reserve(list->mNumberBuffers);
    for (UInt32 i = 0; i < list->mNumberBuffers; ++i) {
        const ::AudioBuffer& buffer = list->mBuffers[i];
        buffers.push_back(AudioBuffer{buffer.mNumberChannels, buffer.mDataByteSize, buffer.mData});
    }
    into.audioBufferList = std::move(buffers);
    if (block)
        into.audioData = std::shared_ptr<const void>(block.release(),
                                                     [](const void* held) { CFRelease(held); });
}

// The encoded bytes in place: CMBlockBufferGetDataPointer over the whole data.
// Should the encoder ever hand over bytes scattered in memory, they are made
// contiguous once; if even that fails, the buffer reports the failure when copied.
std::shared_ptr<const BlockBuffer> blockBuffer(CMBlockBufferRef block) {
    CFRef<CMBlockBufferRef> held = CFRef<CMBlockBufferRef>::retain(block);
    size_t lengthAtOffset = 0, totalLength = 0;
    char* data = nullptr;
    OSStatus status = CMBlockBufferGetDataPointer(block, 0, &lengthAtOffset, &totalLength, &data);
    if (status != kCMBlockBufferNoErr || lengthAtOffset < totalLength) {
        CMBlockBufferRef contiguous = nullptr;
        status = CMBlockBufferCreateContiguous(kCFAllocatorDefault, block, kCFAllocatorDefault,
                                               nullptr, 0, 0, 0, &contiguous);
        if (status == kCMBlockBufferNoErr) {
            held = CFRef<CMBlockBufferRef>::adopt(contiguous);
            status = CMBlockBufferGetDataPointer(held.get(), 0, &lengthAtOffset, &totalLength, &data);
        }
        if (status != kCMBlockBufferNoErr)
            return std::make_shared<BlockBuffer>(std::vector<uint8_t>(), Status(status));
    }
    std::shared_ptr<const void> owner(held.release(), [](const void* object) { CFRelease(object); });
    return std::make_shared<BlockBuffer>(std::move(owner), reinterpret_cast<const uint8_t*>(data),
                                         totalLength);
}

}  // namespace

SampleBuffer screenSample(CMSampleBufferRef sample) {
    SampleBuffer result;
    result.valid = CMSampleBufferIsValid(sample);
    if (!result.valid) return result;
    if (CVImageBufferRef image = CMSampleBufferGetImageBuffer(sample))
        result.imageBuffer = std::make_shared<ImageBuffer>(image);
    result.attachments =
        attachments(sample, (__bridge CFStringRef)SCStreamFrameInfoStatus, kStreamFrameInfoStatus);
    result.presentationTime = presentationTime(sample);
    return result;
}

SampleBuffer audioSample(CMSampleBufferRef sample) {
    SampleBuffer result;
    result.valid = CMSampleBufferIsValid(sample);
    if (!result.valid) return result;
    result.formatDescription = audioDescription(sample);
    result.numSamples = int64_t(CMSampleBufferGetNumSamples(sample));
    takeAudioBufferList(sample, result);
    result.presentationTime = presentationTime(sample);
    return result;
}

std::shared_ptr<const SampleBuffer> encodedSample(CMSampleBufferRef sample) {
    auto result = std::make_shared<SampleBuffer>();
    result->valid = CMSampleBufferIsValid(sample);
    if (CMBlockBufferRef block = CMSampleBufferGetDataBuffer(sample))
        result->dataBuffer = blockBuffer(block);
    if (CMFormatDescriptionRef format = CMSampleBufferGetFormatDescription(sample))
        result->formatDescription = std::make_shared<VideoFormatDescription>(format);
    result->attachments =
        attachments(sample, kCMSampleAttachmentKey_NotSync, kSampleAttachmentKeyNotSync);
    result->presentationTime = presentationTime(sample);
    return result;
}

}  // namespace vx
