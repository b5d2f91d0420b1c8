// Float PCM to interleaved s16le, from a table of source buffers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_writer.h"

namespace vx {
namespace {

constexpr uint32_t kFloat = kAudioFormatFlagIsFloat;
constexpr uint32_t kFloatPlanar = kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved;
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// One buffer of the list: its floats, or a null data pointer. byteSize overrides
// mDataByteSize (default: all the floats), to state less than the memory holds.
struct Buffer {
    std::optional<std::vector<float>> floats;
    std::optional<uint32_t> byteSize;
};

Buffer floats(std::vector<float> values) { return {std::move(values), std::nullopt}; }
Buffer nullData() { return {std::nullopt, std::nullopt}; }

struct Source {
    uint32_t formatID = kAudioFormatLinearPCM;
    uint32_t flags = kFloatPlanar;
    uint32_t bits = 32;
    uint32_t channelsPerFrame = 1;
    int64_t frames = 1;
    std::vector<Buffer> buffers;
};

// A sample as the capture delivers it; the sample owns the floats it lends.
SampleBuffer sampleOf(const Source& source) {
    auto description = std::make_shared<FormatDescription>();
    description->audioStreamBasicDescription = AudioStreamBasicDescription{
        48000, source.formatID, source.flags, source.bits, source.channelsPerFrame};
    auto data = std::make_shared<std::vector<Buffer>>(source.buffers);
    AudioBufferList list;
    for (const Buffer& buffer : *data) {
        AudioBuffer entry;
        entry.mNumberChannels = 1;
        if (buffer.floats) {
            entry.mData = buffer.floats->data();
            entry.mDataByteSize = uint32_t(buffer.floats->size() * sizeof(float));
        }
        if (buffer.byteSize) entry.mDataByteSize = *buffer.byteSize;
        list.push_back(entry);
    }
    SampleBuffer sample;
    sample.formatDescription = std::move(description);
    sample.numSamples = source.frames;
    sample.audioBufferList = std::move(list);
    sample.audioData = std::move(data);
    return sample;
}

std::vector<uint8_t> s16le(const std::vector<int16_t>& values) {
    std::vector<uint8_t> bytes;
    for (int16_t v : values) {
        bytes.push_back(uint8_t(uint16_t(v) & 0xFF));
        bytes.push_back(uint8_t(uint16_t(v) >> 8));
    }
    return bytes;
}

TEST(InterleavedS16Test, HalfScaleStereoFrameGivesTheDocumentedBytes) {
    Source source{.channelsPerFrame = 2, .frames = 1, .buffers = {floats({0.5f}), floats({-0.5f})}};
    auto bytes = AudioWriter::interleavedS16(sampleOf(source), 2);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, (std::vector<uint8_t>{0xFF, 0x3F, 0x01, 0xC0}));
}

TEST(InterleavedS16Test, ClampsAndSpecialValues) {
    struct Value {
        float x;
        int16_t expected;
    };
    // clang-format off
    const std::vector<Value> values = {
        {1.0f, 32767},       {1.5f, 32767},        {kInf, 32767},     {kNaN, 32767},
        {-kNaN, 32767},      {-1.0f, -32767},      {-1.5f, -32767},   {-kInf, -32767},
        {0.00001f, 0},       {-0.00001f, 0},       {0.0f, 0},         {-0.0f, 0},
        {0.5f, 16383},       {-0.5f, -16383},      {0.25f, 8191},     {-0.25f, -8191},
        // Just below full scale: 32766.998 in single precision, truncated.
        {std::nextafter(1.0f, 0.0f), 32766},       {std::nextafter(-1.0f, 0.0f), -32766},
        {3.0517578e-5f, 0},  {6.1035156e-5f, 1},   {-6.1035156e-5f, -1},
        {std::numeric_limits<float>::max(), 32767},
        {std::numeric_limits<float>::lowest(), -32767},
        {std::numeric_limits<float>::denorm_min(), 0},
    };
    // clang-format on
    std::vector<float> column;
    std::vector<int16_t> expected;
    for (const Value& v : values) {
        column.push_back(v.x);
        expected.push_back(v.expected);
        EXPECT_EQ(AudioWriter::s16FromFloat(v.x), v.expected) << "x = " << v.x;
    }
    Source source{.frames = int64_t(column.size()), .buffers = {floats(column)}};
    auto bytes = AudioWriter::interleavedS16(sampleOf(source), 1);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, s16le(expected));
}

TEST(InterleavedS16Test, NoSampleValueIsMinus32768) {
    for (float x = -2.0f; x <= 2.0f; x += 1.0f / 65536)
        ASSERT_NE(AudioWriter::s16FromFloat(x), -32768) << "x = " << x;
}

struct LayoutCase {
    std::string name;
    Source source;
    int64_t channels;
    std::vector<int16_t> expected;
};

// A sample that converts to value: half a step beyond it, so that the
// truncation lands on value whatever the rounding.
float k(int value) { return (float(value) + (value < 0 ? -0.5f : 0.5f)) / 32767.0f; }

TEST(InterleavedS16Test, LayoutsAndChannelMapping) {
    const auto left = floats({k(100), k(200), k(300)});
    const auto right = floats({k(-100), k(-200), k(-300)});
    const auto both = floats({k(100), k(-100), k(200), k(-200), k(300), k(-300)});
    const std::vector<int16_t> stereo = {100, -100, 200, -200, 300, -300};

    // clang-format off
    const std::vector<LayoutCase> cases = {
        {"two non-interleaved channels", {.channelsPerFrame = 2, .frames = 3, .buffers = {left, right}}, 2, stereo},
        {"the same data interleaved", {.flags = kFloat, .channelsPerFrame = 2, .frames = 3, .buffers = {both}}, 2, stereo},
        {"one source into two outputs", {.channelsPerFrame = 1, .frames = 3, .buffers = {left}}, 2,
         {100, 100, 200, 200, 300, 300}},
        {"one interleaved source into two outputs", {.flags = kFloat, .channelsPerFrame = 1, .frames = 3, .buffers = {left}}, 2,
         {100, 100, 200, 200, 300, 300}},
        {"two sources into one output, not mixed", {.channelsPerFrame = 2, .frames = 3, .buffers = {left, right}}, 1,
         {100, 200, 300}},
        {"two interleaved sources into one output", {.flags = kFloat, .channelsPerFrame = 2, .frames = 3, .buffers = {both}}, 1,
         {100, 200, 300}},
        {"two into four repeats the last source", {.channelsPerFrame = 2, .frames = 3, .buffers = {left, right}}, 4,
         {100, -100, -100, -100, 200, -200, -200, -200, 300, -300, -300, -300}},
        {"two interleaved into four", {.flags = kFloat, .channelsPerFrame = 2, .frames = 3, .buffers = {both}}, 4,
         {100, -100, -100, -100, 200, -200, -200, -200, 300, -300, -300, -300}},
        {"channels 0 gives an empty output", {.channelsPerFrame = 2, .frames = 3, .buffers = {left, right}}, 0, {}},
        {"other flag bits are not looked at", {.flags = kFloatPlanar | 0x2 | 0x8 | 0x40, .channelsPerFrame = 2, .frames = 3,
                                              .buffers = {left, right}}, 2, stereo},
        {"a null data pointer leaves its channel at zero", {.channelsPerFrame = 2, .frames = 3, .buffers = {nullData(), right}}, 2,
         {0, -100, 0, -200, 0, -300}},
        {"a null pointer read by two outputs", {.channelsPerFrame = 2, .frames = 3, .buffers = {left, nullData()}}, 3,
         {100, 0, 0, 200, 0, 0, 300, 0, 0}},
        {"a null interleaved buffer gives silence", {.flags = kFloat, .channelsPerFrame = 2, .frames = 2, .buffers = {nullData()}}, 2,
         {0, 0, 0, 0}},
    };
    // clang-format on
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = AudioWriter::interleavedS16(sampleOf(c.source), c.channels);
        ASSERT_TRUE(bytes);
        EXPECT_EQ(*bytes, s16le(c.expected));
    }
}

// A buffer list that holds less than the description promises: what is there is
// converted, the rest stays zero, and nothing beyond mDataByteSize is read (the
// address sanitizer build catches a read past a buffer's memory).
TEST(InterleavedS16Test, ShortBufferListsConvertWhatIsPresent) {
    // clang-format off
    const std::vector<LayoutCase> cases = {
        {"fewer buffers than source channels", {.channelsPerFrame = 2, .frames = 2, .buffers = {floats({k(1), k(2)})}}, 2,
         {1, 0, 2, 0}},
        {"no buffer at all", {.channelsPerFrame = 2, .frames = 2, .buffers = {}}, 2, {0, 0, 0, 0}},
        {"no buffer, interleaved", {.flags = kFloat, .channelsPerFrame = 2, .frames = 1, .buffers = {}}, 2, {0, 0}},
        {"a missing buffer repeated into more outputs", {.channelsPerFrame = 2, .frames = 1, .buffers = {floats({k(7)})}}, 4,
         {7, 0, 0, 0}},
        {"fewer frames than the count", {.channelsPerFrame = 2, .frames = 4, .buffers = {floats({k(1), k(2)}), floats({k(-1), k(-2), k(-3)})}}, 2,
         {1, -1, 2, -2, 0, -3, 0, 0}},
        {"an interleaved buffer ending inside a frame", {.flags = kFloat, .channelsPerFrame = 2, .frames = 3,
                                                       .buffers = {floats({k(1), k(-1), k(2), k(-2), k(3)})}}, 2,
         {1, -1, 2, -2, 3, 0}},
        {"an interleaved buffer shorter than its first frame", {.flags = kFloat, .channelsPerFrame = 3, .frames = 2,
                                                              .buffers = {floats({k(5)})}}, 3,
         {5, 0, 0, 0, 0, 0}},
        {"the byte size, not the memory, bounds the read",
         {.channelsPerFrame = 1, .frames = 3, .buffers = {{std::vector<float>{k(1), k(2), k(3)}, 2 * sizeof(float)}}}, 1,
         {1, 2, 0}},
        {"a byte size that ends inside a float", {.channelsPerFrame = 1, .frames = 2, .buffers = {{std::vector<float>{k(1), k(2)}, 6}}}, 1,
         {1, 0}},
        {"a byte size of 0", {.channelsPerFrame = 1, .frames = 2, .buffers = {{std::vector<float>{k(1), k(2)}, 0}}}, 1, {0, 0}},
        {"an empty buffer", {.channelsPerFrame = 1, .frames = 2, .buffers = {floats({})}}, 2, {0, 0, 0, 0}},
    };
    // clang-format on
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = AudioWriter::interleavedS16(sampleOf(c.source), c.channels);
        ASSERT_TRUE(bytes);
        EXPECT_EQ(*bytes, s16le(c.expected));
    }
}

TEST(InterleavedS16Test, UnusableBuffersAreDropped) {
    const auto one = floats({k(1)});
    const auto two = floats({k(1), k(2)});
    struct Dropped {
        std::string name;
        Source source;
        int64_t channels = 2;
    };
    // clang-format off
    const std::vector<Dropped> cases = {
        {"16-bit integer PCM", {.flags = 0x4 | 0x8, .bits = 16, .buffers = {one}}},
        {"64-bit floats", {.flags = kFloatPlanar, .bits = 64, .buffers = {two}}},
        {"32-bit integer PCM", {.flags = 0x4 | 0x8 | kAudioFormatFlagIsNonInterleaved, .bits = 32, .buffers = {one}}},
        {"not linear PCM", {.formatID = 0x61616320 /* 'aac ' */, .buffers = {one}}},
        {"a frame count of 0", {.frames = 0, .buffers = {one}}},
        {"a negative frame count", {.frames = -1, .buffers = {one}}},
        {"no source channels", {.channelsPerFrame = 0, .buffers = {one}}},
        {"a size that overflows", {.frames = std::numeric_limits<int64_t>::max() / 2 + 1, .buffers = {one}}, 1},
        {"a size that overflows with more channels", {.frames = std::numeric_limits<int64_t>::max() / 4 + 1, .buffers = {one}}, 2},
        {"a negative channel count", {.buffers = {one}}, -1},
    };
    // clang-format on
    for (const Dropped& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(AudioWriter::interleavedS16(sampleOf(c.source), c.channels));
    }
}

TEST(InterleavedS16Test, SamplesWithoutDescriptionOrBufferListAreDropped) {
    Source usable{.buffers = {floats({k(1)})}};
    ASSERT_TRUE(AudioWriter::interleavedS16(sampleOf(usable), 1)) << "the base sample is usable";

    SampleBuffer noFormat = sampleOf(usable);
    noFormat.formatDescription.reset();
    EXPECT_FALSE(AudioWriter::interleavedS16(noFormat, 1));

    SampleBuffer noStreamDescription = sampleOf(usable);
    noStreamDescription.formatDescription = std::make_shared<FormatDescription>();
    EXPECT_FALSE(AudioWriter::interleavedS16(noStreamDescription, 1));

    SampleBuffer noList = sampleOf(usable);
    noList.audioBufferList.reset();
    EXPECT_FALSE(AudioWriter::interleavedS16(noList, 1));
}

}  // namespace
}  // namespace vx
