#include "platform/sample_buffer.h"

#include <cstring>

namespace vx {

namespace {
constexpr Status kParameterSetNotFound = -12712;
constexpr Status kBufferListUnavailable = -12731;
constexpr Status kBlockRangeInvalid = -12770;
}  // namespace

Status FormatDescription::getH264ParameterSetAtIndex(size_t index, const uint8_t** pointer,
                                                     size_t* size, size_t* count,
                                                     int32_t* headerLength) const {
    if (count) {
        if (parameterSetCount) *count = size_t(*parameterSetCount);
        else if (!parameterSets.empty()) *count = parameterSets.size();
    }
    if (headerLength) {
        if (nalUnitHeaderLength) *headerLength = *nalUnitHeaderLength;
        else if (!parameterSets.empty()) *headerLength = 4;
    }
    if (index >= parameterSets.size()) return kParameterSetNotFound;
    const ParameterSet& set = parameterSets[index];
    if (set.status != 0) return set.status;
    if (pointer) *pointer = set.hasPointer ? set.bytes.data() : nullptr;
    if (size) *size = set.bytes.size();
    return 0;
}

Status BlockBuffer::copyDataBytes(size_t offset, size_t length, uint8_t* destination) const {
    if (copyStatus_ != 0) return copyStatus_;
    if (offset > length_ || length > length_ - offset) return kBlockRangeInvalid;
    if (length) std::memcpy(destination, data_ + offset, length);
    return 0;
}

Status SampleBuffer::withAudioBufferList(
    const std::function<void(const AudioBufferList&)>& body) const {
    if (!audioBufferList) return kBufferListUnavailable;
    body(*audioBufferList);
    return 0;
}

}  // namespace vx
