#include "encode/annex_b.h"

#include <algorithm>
#include <cstring>

namespace vx {

namespace {

struct ParameterSetBytes {
    const uint8_t* bytes = nullptr;
    size_t size = 0;
};

}  // namespace

bool AnnexB::isKeyFrame(const SampleBuffer& sample) {
    const AttachmentsArray* attachments = sampleAttachmentsArray(sample);
    if (!attachments || attachments->empty()) return true;
    const AttachmentDictionary& first = attachments->front();
    auto entry = first.find(kSampleAttachmentKeyNotSync);
    if (entry == first.end()) return true;
    const bool* notSync = std::get_if<bool>(&entry->second);
    return !(notSync && *notSync);
}

std::optional<std::vector<uint8_t>> AnnexB::annexB(const SampleBuffer& sample) {
    const std::shared_ptr<const BlockBuffer> block = sample.dataBuffer;
    if (!block) return std::nullopt;
    const std::shared_ptr<const FormatDescription> description = sample.formatDescription;
    if (!description) return std::nullopt;

    const bool keyFrame = isKeyFrame(sample);

    size_t count = 0;
    int32_t lengthFieldSize = 4;
    description->getH264ParameterSetAtIndex(0, nullptr, nullptr, &count, &lengthFieldSize);

    // The readable parameter sets, found before anything is allocated so that the
    // unit is allocated once at its final size.
    std::array<ParameterSetBytes, maxParameterSets> sets;
    size_t setCount = 0;
    size_t setBytes = 0;
    if (keyFrame) {
        const size_t indices = std::min<size_t>(count, maxParameterSets);
        for (size_t i = 0; i < indices; ++i) {
            const uint8_t* pointer = nullptr;
            size_t size = 0;
            if (description->getH264ParameterSetAtIndex(i, &pointer, &size, nullptr, nullptr) != 0)
                continue;
            if (!pointer) continue;
            sets[setCount++] = {pointer, size};
            setBytes += startCode.size() + size;
        }
    }

    const size_t length = block->dataLength();
    const size_t n = lengthFieldSize > 0 ? size_t(lengthFieldSize) : 0;

    // Layout while converting: [parameter sets][slack][encoded data]. The data is
    // copied once, behind the slack, and its records are rewritten forwards into
    // place. A record with a length field shorter than a start code grows by the
    // difference; the slack covers the most records the data can hold (each takes
    // at least n + 1 bytes), so the write position never overtakes the read position.
    size_t slack = 0;
    if (n > 0 && n < startCode.size()) slack = length / (n + 1) * (startCode.size() - n);

    std::vector<uint8_t> unit(setBytes + slack + length);
    uint8_t* const out = unit.data();
    size_t written = 0;
    for (size_t i = 0; i < setCount; ++i) {
        std::memcpy(out + written, startCode.data(), startCode.size());
        written += startCode.size();
        if (sets[i].size) std::memcpy(out + written, sets[i].bytes, sets[i].size);
        written += sets[i].size;
    }

    uint8_t* const data = out + setBytes + slack;
    if (block->copyDataBytes(0, length, data) != 0) return std::nullopt;

    if (n > 0) {
        size_t offset = 0;
        while (n <= length - offset) {
            // Big-endian length; anything beyond the remaining data ends the conversion
            // (checked per byte, so no field size can overflow the count).
            uint64_t nalLength = 0;
            bool pastEnd = false;
            for (size_t k = 0; k < n; ++k) {
                nalLength = nalLength * 256 + data[offset + k];
                if (nalLength > length) {
                    pastEnd = true;
                    break;
                }
            }
            if (nalLength < 1) break;
            if (pastEnd || nalLength > length - offset - n) break;

            const uint8_t* payload = data + offset + n;
            std::memcpy(out + written, startCode.data(), startCode.size());
            written += startCode.size();
            if (out + written != payload) std::memmove(out + written, payload, nalLength);
            written += nalLength;
            offset += n + nalLength;
        }
    }

    unit.resize(written);
    return unit;
}

bool AnnexB::startsWithKeyFrame(std::span<const uint8_t> unit) {
    constexpr uint8_t kIdrSlice = 5, kSequenceParameterSet = 7;
    if (unit.size() <= startCode.size() ||
        !std::equal(startCode.begin(), startCode.end(), unit.begin()))
        return false;
    const uint8_t type = unit[startCode.size()] & 0x1F;
    return type == kSequenceParameterSet || type == kIdrSlice;
}

}  // namespace vx
