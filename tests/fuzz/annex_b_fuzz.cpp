// Arbitrary encoded samples: sample data, length-field sizes, parameter sets and
// attachment shapes. The conversion must never read outside what it was given
// (AddressSanitizer watches), and its output must hold only start codes,
// parameter sets and bytes of the sample.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "encode/annex_b.h"

using namespace vx;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    SampleBuffer sample;

    auto description = std::make_shared<FormatDescription>();
    int sets = in.ConsumeIntegralInRange<int>(0, 4);
    for (int i = 0; i < sets; ++i) {
        FormatDescription::ParameterSet set;
        set.bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 16));
        set.status = in.ConsumeBool() ? 0 : in.ConsumeIntegral<int32_t>();
        set.hasPointer = in.ConsumeIntegralInRange<int>(0, 7) != 0;
        description->parameterSets.push_back(std::move(set));
    }
    if (in.ConsumeBool()) description->parameterSetCount = in.ConsumeIntegral<uint64_t>();
    if (in.ConsumeBool()) description->nalUnitHeaderLength = in.ConsumeIntegralInRange<int32_t>(-2, 12);
    if (in.ConsumeIntegralInRange<int>(0, 15) != 0) sample.formatDescription = description;

    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
        case 0: break;  // no attachments array
        case 1: sample.attachments = AttachmentsArray{}; break;
        case 2: sample.attachments = AttachmentsArray{{}}; break;
        case 3: sample.attachments = AttachmentsArray{{{kSampleAttachmentKeyNotSync, in.ConsumeBool()}}}; break;
        case 4: sample.attachments = AttachmentsArray{{{kSampleAttachmentKeyNotSync, int64_t(1)}}}; break;
        default:
            sample.attachments = AttachmentsArray{{}, {{kSampleAttachmentKeyNotSync, true}}};
    }

    Status copyStatus = in.ConsumeIntegralInRange<int>(0, 15) == 0 ? -1 : 0;
    bool hasBlock = in.ConsumeIntegralInRange<int>(0, 15) != 0;
    std::vector<uint8_t> bytes = in.ConsumeRemainingBytes<uint8_t>();
    size_t dataSize = bytes.size();
    if (hasBlock) sample.dataBuffer = std::make_shared<BlockBuffer>(std::move(bytes), copyStatus);

    auto unit = AnnexB::annexB(sample);
    if (!unit) return 0;
    size_t parameterBytes = 0;
    for (const auto& set : description->parameterSets) parameterBytes += set.bytes.size() + 4;
    // Every NAL unit is at least one byte behind its start code, so the unit can
    // outgrow the data by at most the parameter sets and one start code per byte.
    if (unit->size() > parameterBytes + 4 * dataSize + dataSize) std::abort();
    return 0;
}
