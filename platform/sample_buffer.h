#pragma once
// One media sample as the capture stream or the compression session hands it over:
// a screen frame, a piece of audio, or one encoded frame.
//
// A sample is immutable once built. Callbacks receive it by const reference and
// keep nothing of it after they return, except the image buffer, which they may
// hold (it is reference counted).
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/error.h"
#include "platform/media_time.h"
#include "platform/image_buffer.h"

namespace vx {

// ---- attachments -------------------------------------------------------------

using AttachmentValue = std::variant<bool, int64_t, double, std::string>;
using AttachmentDictionary = std::map<std::string, AttachmentValue>;
using AttachmentsArray = std::vector<AttachmentDictionary>;

// Key of a screen frame's status in its first attachment dictionary (an integer).
inline constexpr const char* kStreamFrameInfoStatus = "SCStreamFrameInfoStatus";
// Key of a Boolean in a screen frame's first attachment dictionary: true on the first
// frame after the captured screen changed its size (the picture is laid out anew, so
// it is to be encoded as a key frame). Absent on every other frame.
inline constexpr const char* kStreamFrameInfoScreenResized = "VXStreamFrameInfoScreenResized";
// Key of an encoded frame's "not a key frame" flag (a Boolean).
inline constexpr const char* kSampleAttachmentKeyNotSync = "NotSync";

// Frame statuses under kStreamFrameInfoStatus.
enum FrameStatus : int64_t {
    kFrameStatusComplete = 0,
    kFrameStatusIdle = 1,
    kFrameStatusBlank = 2,
    kFrameStatusSuspended = 3,
    kFrameStatusStarted = 4,
    kFrameStatusStopped = 5,
};

// ---- audio -------------------------------------------------------------------

inline constexpr uint32_t kAudioFormatLinearPCM = 0x6C70636D;  // 'lpcm'
inline constexpr uint32_t kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;

struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    uint32_t mFormatID = 0;
    uint32_t mFormatFlags = 0;
    uint32_t mBitsPerChannel = 0;
    uint32_t mChannelsPerFrame = 0;
};

// One buffer of a buffer list. mData may be null; mDataByteSize tells how many
// bytes mData really holds.
struct AudioBuffer {
    uint32_t mNumberChannels = 0;
    uint32_t mDataByteSize = 0;
    const void* mData = nullptr;
};

using AudioBufferList = std::vector<AudioBuffer>;

// ---- format description -------------------------------------------------------

// Describes a sample's content: an audio stream description, or the H.264 parameter
// sets and length-field size of encoded video. Either part may be absent.
// A backend whose encoder keeps the parameter sets in a description of its own
// (macOS) derives from it and answers getH264ParameterSetAtIndex() from there.
class FormatDescription {
public:
    virtual ~FormatDescription() = default;

    struct ParameterSet {
        std::vector<uint8_t> bytes;
        Status status = 0;        // what reading this index reports
        bool hasPointer = true;   // false: the read gives no pointer
    };

    std::optional<AudioStreamBasicDescription> audioStreamBasicDescription;

    std::vector<ParameterSet> parameterSets;
    // Overrides of what the description reports; absent means "not reported".
    std::optional<uint64_t> parameterSetCount;   // default: parameterSets.size() when non-empty
    std::optional<int32_t> nalUnitHeaderLength;  // default: 4 when parameter sets exist

    // Mirrors the platform call: any of the outputs may be null. Index-out-of-range
    // and missing parameter sets give a non-zero status; the count and length
    // outputs are written only when the description reports them.
    // Pointers stay valid as long as the description.
    virtual Status getH264ParameterSetAtIndex(size_t index, const uint8_t** pointer, size_t* size,
                                              size_t* count, int32_t* nalUnitHeaderLength) const;
};

// ---- block buffer -------------------------------------------------------------

// The encoded bytes of a sample: bytes of its own, or bytes that a platform object
// holds (the encoder's block buffer on macOS), which the owner keeps alive and
// unchanged as long as this buffer.
class BlockBuffer {
public:
    explicit BlockBuffer(std::vector<uint8_t> bytes, Status copyStatus = 0)
        : bytes_(std::move(bytes)), data_(bytes_.data()), length_(bytes_.size()),
          copyStatus_(copyStatus) {}
    BlockBuffer(std::shared_ptr<const void> owner, const uint8_t* data, size_t length)
        : owner_(std::move(owner)), data_(data), length_(length), copyStatus_(0) {}

    BlockBuffer(const BlockBuffer&) = delete;
    BlockBuffer& operator=(const BlockBuffer&) = delete;

    size_t dataLength() const { return length_; }
    // Copies length bytes from offset into destination; a non-zero status copies nothing.
    Status copyDataBytes(size_t offset, size_t length, uint8_t* destination) const;

private:
    std::vector<uint8_t> bytes_;
    std::shared_ptr<const void> owner_;
    const uint8_t* data_;
    size_t length_;
    Status copyStatus_;
};

// ---- the sample ---------------------------------------------------------------

struct SampleBuffer {
    bool valid = true;
    std::shared_ptr<ImageBuffer> imageBuffer;                 // screen frames
    std::optional<AttachmentsArray> attachments;              // absent: no array
    std::shared_ptr<const FormatDescription> formatDescription;
    int64_t numSamples = 0;                                   // audio frames
    std::optional<AudioBufferList> audioBufferList;           // absent: cannot be obtained
    std::shared_ptr<const void> audioData;                    // owns what audioBufferList points into
    std::shared_ptr<const BlockBuffer> dataBuffer;            // encoded frames
    Time presentationTime;

    bool isValid() const { return valid; }

    // Lends the buffer list to body for the duration of the call. A non-zero status
    // means the list could not be obtained and body was not called.
    Status withAudioBufferList(const std::function<void(const AudioBufferList&)>& body) const;
};

// CMSampleBufferGetSampleAttachmentsArray with createIfNecessary false: null when
// the sample carries no array.
inline const AttachmentsArray* sampleAttachmentsArray(const SampleBuffer& sample) {
    return sample.attachments ? &*sample.attachments : nullptr;
}

}  // namespace vx
