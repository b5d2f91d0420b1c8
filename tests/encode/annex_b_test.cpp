// Byte layouts of access units built from encoded samples.
#include "encode/annex_b.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace vx {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes SC{0, 0, 0, 1};
const Bytes A{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9};  // 10 bytes
const Bytes B{0xB0, 0xB1, 0xB2, 0xB3};                                      // 4 bytes
const Bytes X{0x65, 0x11, 0x22, 0x33, 0x44};                                // 5 bytes

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const AttachmentsArray kKey{{{kSampleAttachmentKeyNotSync, false}}};
const AttachmentsArray kNotSync{{{kSampleAttachmentKeyNotSync, true}}};

struct Sample {
    Bytes data;
    std::optional<AttachmentsArray> attachments = kKey;
    std::vector<FormatDescription::ParameterSet> sets = {{A}, {B}};
    std::optional<int32_t> lengthFieldSize;     // absent: what the description reports
    std::optional<uint64_t> parameterSetCount;  // absent: what the description reports
    Status copyStatus = 0;

    SampleBuffer build() const {
        SampleBuffer sample;
        sample.attachments = attachments;
        auto description = std::make_shared<FormatDescription>();
        description->parameterSets = sets;
        description->nalUnitHeaderLength = lengthFieldSize;
        description->parameterSetCount = parameterSetCount;
        sample.formatDescription = description;
        sample.dataBuffer = std::make_shared<BlockBuffer>(data, copyStatus);
        return sample;
    }
};

Sample of(Bytes data) {
    Sample s;
    s.data = std::move(data);
    return s;
}

struct Case {
    std::string name;
    Sample sample;
    std::optional<Bytes> expected;
};

Sample notSync(Sample s) {
    s.attachments = kNotSync;
    return s;
}
Sample withAttachments(std::optional<AttachmentsArray> a) {
    Sample s = of(cat({{0, 0, 0, 5}, X}));
    s.attachments = std::move(a);
    return s;
}
Sample withLength(int32_t n, Bytes data, bool key = false) {
    Sample s = of(std::move(data));
    s.lengthFieldSize = n;
    if (!key) s.attachments = kNotSync;
    return s;
}

const Bytes kOneRecord = cat({{0, 0, 0, 5}, X});
const Bytes kKeyUnit = cat({SC, A, SC, B, SC, X});  // 31 bytes

std::vector<Case> cases() {
    std::vector<Case> all = {
        {"key frame with two parameter sets", of(kOneRecord), kKeyUnit},
        {"the same sample marked not-sync", notSync(of(kOneRecord)), cat({SC, X})},
        {"two records keep their order",
         notSync(of({0, 0, 0, 2, 0x41, 0x01, 0, 0, 0, 3, 0x06, 0x05, 0x80})),
         cat({SC, {0x41, 0x01}, SC, {0x06, 0x05, 0x80}})},
        {"every NAL unit type passes unchanged (delimiter, SEI, IDR)",
         notSync(of({0, 0, 0, 2, 0x09, 0xF0, 0, 0, 0, 2, 0x06, 0x01, 0, 0, 0, 1, 0x65})),
         cat({SC, {0x09, 0xF0}, SC, {0x06, 0x01}, SC, {0x65}})},
        {"length field of 2 bytes", withLength(2, {0, 3, 0x41, 0x42, 0x43}), cat({SC, {0x41, 0x42, 0x43}})},
        {"length field of 1 byte, units grow", withLength(1, {2, 0x41, 0x42, 1, 0x43, 1, 0x44}),
         cat({SC, {0x41, 0x42}, SC, {0x43}, SC, {0x44}})},
        {"length field of 3 bytes", withLength(3, {0, 0, 1, 0x41, 0, 0, 2, 0x42, 0x43}),
         cat({SC, {0x41}, SC, {0x42, 0x43}})},
        {"length field of 8 bytes", withLength(8, {0, 0, 0, 0, 0, 0, 0, 2, 0x41, 0x42}),
         cat({SC, {0x41, 0x42}})},
        {"length field of 9 bytes is read like any other",
         withLength(9, {0, 0, 0, 0, 0, 0, 0, 0, 1, 0x41}), cat({SC, {0x41}})},
        {"8-byte length beyond any signed value stops", withLength(8, cat({Bytes(8, 0xFF), {0x41}})),
         Bytes{}},
        {"length field of 0 bytes takes no unit", withLength(0, kOneRecord), Bytes{}},
        {"negative length field size takes no unit", withLength(-3, kOneRecord), Bytes{}},
        {"huge length field size takes no unit", withLength(INT32_MAX, kOneRecord), Bytes{}},
        {"key frame with length field of 0 bytes keeps its parameter sets",
         withLength(0, kOneRecord, true), cat({SC, A, SC, B})},
        {"zero length in the middle ends the conversion",
         notSync(of(cat({{0, 0, 0, 1, 0x41}, {0, 0, 0, 0}, {0, 0, 0, 1, 0x42}}))), cat({SC, {0x41}})},
        {"a length past the end drops that unit and the rest",
         notSync(of(cat({{0, 0, 0, 1, 0x41}, {0, 0, 0, 9, 0x42, 0x43, 0x44}}))), cat({SC, {0x41}})},
        {"trailing bytes shorter than a length field are ignored",
         notSync(of(cat({{0, 0, 0, 1, 0x41}, {0, 0, 0}}))), cat({SC, {0x41}})},
        {"non-key data shorter than the length field gives an empty unit", notSync(of({0, 0, 5})),
         Bytes{}},
        {"key data shorter than the length field gives the parameter sets alone", of({0, 0, 5}),
         cat({SC, A, SC, B})},
        {"no data at all", notSync(of({})), Bytes{}},
        {"no attachments array is a key frame", withAttachments(std::nullopt), kKeyUnit},
        {"an empty attachments array is a key frame", withAttachments(AttachmentsArray{}), kKeyUnit},
        {"a first dictionary without NotSync is a key frame",
         withAttachments(AttachmentsArray{{{"Other", true}}}), kKeyUnit},
        {"NotSync given as an integer is a key frame",
         withAttachments(AttachmentsArray{{{kSampleAttachmentKeyNotSync, int64_t(1)}}}), kKeyUnit},
        {"NotSync given as text is a key frame",
         withAttachments(AttachmentsArray{{{kSampleAttachmentKeyNotSync, std::string("true")}}}),
         kKeyUnit},
        {"NotSync false is a key frame", withAttachments(kKey), kKeyUnit},
        {"only the first dictionary counts",
         withAttachments(AttachmentsArray{{}, {{kSampleAttachmentKeyNotSync, true}}}), kKeyUnit},
        {"a failed copy discards everything", [] {
             Sample s = of(kOneRecord);
             s.copyStatus = -12770;
             return s;
         }(),
         std::nullopt},
    };

    Sample unreadable = of(kOneRecord);
    unreadable.sets = {{A}, {B, -12712}};
    all.push_back({"an unreadable parameter set is left out", unreadable, cat({SC, A, SC, X})});

    Sample noPointer = of(kOneRecord);
    noPointer.sets = {{A, 0, false}, {B}};
    all.push_back({"a parameter set without bytes is left out", noPointer, cat({SC, B, SC, X})});

    Sample noCount = of(kOneRecord);
    noCount.parameterSetCount = 0;
    all.push_back({"a count of 0 gives no parameter sets", noCount, cat({SC, X})});

    Sample hugeCount = of(kOneRecord);
    hugeCount.parameterSetCount = UINT64_MAX;
    all.push_back({"a count beyond any real description is bounded", hugeCount, kKeyUnit});

    Sample noDescriptionFacts = of(kOneRecord);
    noDescriptionFacts.sets = {};
    all.push_back({"nothing reported: no parameter sets, 4-byte lengths", noDescriptionFacts,
                   cat({SC, X})});
    return all;
}

TEST(AnnexB, ByteLayouts) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AnnexB::annexB(c.sample.build()), c.expected);
    }
}

TEST(AnnexB, TheKeyFrameUnitIs31Bytes) {
    auto unit = AnnexB::annexB(of(kOneRecord).build());
    ASSERT_TRUE(unit);
    EXPECT_EQ(unit->size(), 31u);
}

TEST(AnnexB, ASampleWithoutBlockBufferOrDescriptionGivesNothing) {
    SampleBuffer noData = of(kOneRecord).build();
    noData.dataBuffer.reset();
    EXPECT_EQ(AnnexB::annexB(noData), std::nullopt);

    SampleBuffer noDescription = of(kOneRecord).build();
    noDescription.formatDescription.reset();
    EXPECT_EQ(AnnexB::annexB(noDescription), std::nullopt);
}

// A plain conversion through a separate scratch copy, as a reference for the
// in-place one.
std::optional<Bytes> reference(const Bytes& data, int32_t n, bool key, const Bytes& parameterSets) {
    Bytes out = key ? parameterSets : Bytes{};
    if (n <= 0) return out;
    size_t offset = 0;
    while (offset + size_t(n) <= data.size()) {
        unsigned __int128 len = 0;
        for (int k = 0; k < n; ++k) len = len * 256 + data[offset + k];
        if (len < 1 || offset + n + len > data.size()) break;
        out.insert(out.end(), SC.begin(), SC.end());
        out.insert(out.end(), data.begin() + offset + n, data.begin() + offset + n + size_t(len));
        offset += n + size_t(len);
    }
    return out;
}

TEST(AnnexB, AgreesWithAPlainConversionOnRandomSamples) {
    std::mt19937 random(12345);
    for (int round = 0; round < 20000; ++round) {
        const int32_t n = int32_t(random() % 12) - 1;  // -1 .. 10
        const bool key = random() % 2;
        Bytes data;
        // Mostly well-formed records with small lengths, now and then a random byte.
        const size_t records = random() % 6;
        for (size_t r = 0; r < records; ++r) {
            const uint64_t len = random() % 4;  // 0 now and then
            for (int k = n - 1; k >= 0; --k) data.push_back(k < 8 ? uint8_t(len >> (8 * k)) : 0);
            for (uint64_t i = 0; i < len; ++i) data.push_back(uint8_t(random()));
        }
        if (random() % 4 == 0 && !data.empty()) data[random() % data.size()] = uint8_t(random());
        if (random() % 4 == 0) data.resize(data.size() - std::min<size_t>(data.size(), random() % 3));

        Sample s = of(data);
        s.lengthFieldSize = n;
        s.attachments = key ? kKey : kNotSync;
        auto got = AnnexB::annexB(s.build());
        auto want = reference(data, n, key, cat({SC, A, SC, B}));
        ASSERT_EQ(got, want) << "round " << round << " n " << n;
    }
}

// A backend whose encoder keeps the parameter sets in a description of its own
// (macOS) answers the reads itself; the conversion must go through that answer,
// whatever the base class's own fields say, and keep the buffers it borrows.
class BackendDescription : public FormatDescription {
public:
    Status getH264ParameterSetAtIndex(size_t index, const uint8_t** pointer, size_t* size,
                                      size_t* count, int32_t* nalUnitHeaderLength) const override {
        if (count) *count = 2;
        if (nalUnitHeaderLength) *nalUnitHeaderLength = 2;
        if (index > 1) return -12712;
        if (pointer) *pointer = index == 0 ? B.data() : A.data();
        if (size) *size = index == 0 ? B.size() : A.size();
        return 0;
    }
};

TEST(AnnexB, ReadsABackendsOwnDescriptionAndBorrowedBytes) {
    const Bytes data = cat({{0, 5}, X});  // one record, 2-byte length field
    auto owner = std::make_shared<Bytes>(data);
    SampleBuffer sample;
    sample.attachments = kKey;
    sample.formatDescription = std::make_shared<BackendDescription>();
    sample.dataBuffer = std::make_shared<BlockBuffer>(owner, owner->data(), owner->size());
    EXPECT_EQ(AnnexB::annexB(sample), cat({SC, B, SC, A, SC, X}));
    sample.attachments = kNotSync;
    EXPECT_EQ(AnnexB::annexB(sample), cat({SC, X}));
}

}  // namespace
}  // namespace vx

namespace vx {
namespace {

TEST(AnnexBStart, OnlyAKeyFrameMayBeginAStream) {
    struct Case {
        const char* name;
        std::vector<uint8_t> unit;
        bool start;
    };
    const std::vector<Case> cases = {
        {"parameter sets first", {0, 0, 0, 1, 0x67, 0x64, 0, 0, 0, 1, 0x68, 0xee, 0, 0, 0, 1, 0x65, 1}, true},
        {"an IDR slice without parameter sets", {0, 0, 0, 1, 0x65, 1}, true},
        {"a P slice", {0, 0, 0, 1, 0x41, 1}, false},
        {"a picture parameter set first", {0, 0, 0, 1, 0x68, 0xee}, false},
        {"supplemental information first", {0, 0, 0, 1, 0x06, 5}, false},
        {"no start code", {0x67, 0x64, 0, 0}, false},
        {"a start code alone", {0, 0, 0, 1}, false},
        {"empty", {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AnnexB::startsWithKeyFrame(c.unit), c.start);
    }
}

}  // namespace
}  // namespace vx
