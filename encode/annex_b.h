#pragma once
// Conversion of one encoded H.264 sample from length-prefixed form (what the
// compression session delivers) into one access unit of the Annex-B byte stream.
//
// Stateless and thread-safe. Every NAL unit gets the 4-byte start code; a key
// frame (any sample not marked NotSync) gets its format description's parameter
// sets ahead of its NAL units, in index order, unreadable ones left out.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/sample_buffer.h"

namespace vx {

class AnnexB {
public:
    static constexpr std::array<uint8_t, 4> startCode{0x00, 0x00, 0x00, 0x01};

    // An H.264 description holds at most 32 sequence and 256 picture parameter
    // sets; indices beyond that are not read, whatever count the description reports.
    static constexpr size_t maxParameterSets = 32 + 256;

    // The access unit of sample, or none when the sample has no block buffer or no
    // format description, or when its data cannot be copied. The result may be
    // empty. Records are taken while they fit the data; a zero length or one that
    // runs past the end ends the conversion, and what came before is kept.
    // Length-field sizes below 1 yield no NAL unit; sizes above 8 are read like
    // any other (a length larger than the data ends the conversion). Nothing is
    // ever read outside the copied data.
    //
    // Cost: one allocation (the result) and one copy of the encoded data, taken
    // straight into the result and converted there in place.
    static std::optional<std::vector<uint8_t>> annexB(const SampleBuffer& sample);

    // True unless the first attachment dictionary holds NotSync as the Boolean true.
    static bool isKeyFrame(const SampleBuffer& sample);

    // Whether an access unit that annexB() made is one a decoder can start with: a
    // key frame, which opens with its sequence parameter set (or, when the format
    // description held none, with its IDR slice).
    static bool startsWithKeyFrame(std::span<const uint8_t> unit);
};

}  // namespace vx
