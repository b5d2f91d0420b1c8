#include "base/options.h"

#include <gtest/gtest.h>

namespace vx {
namespace {

struct OptionCase {
    const char* name;
    std::vector<std::string> args;
    const char* option;
    int64_t expected;
};

class OptionTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(OptionTest, ReadsTheFirstOccurrenceAsAStrictDecimal) {
    const auto& c = GetParam();
    setArguments(c.args);
    EXPECT_EQ(option(c.option, 48000), c.expected);
}

const std::string kProgram = "/usr/bin/vx-capture";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, OptionTest,
    ::testing::Values(
        OptionCase{"absent", {kProgram, "audio"}, "--rate", 48000},
        OptionCase{"present", {kProgram, "audio", "--rate", "44100"}, "--rate", 44100},
        OptionCase{"last argument", {kProgram, "audio", "--rate"}, "--rate", 48000},
        OptionCase{"repeated: first wins", {kProgram, "audio", "--rate", "1", "--rate", "6"}, "--rate", 1},
        OptionCase{"first occurrence has a bad value", {kProgram, "audio", "--rate", "x", "--rate", "6"}, "--rate", 48000},
        OptionCase{"value is another option", {kProgram, "audio", "--rate", "--channels", "4"}, "--rate", 48000},
        OptionCase{"the other option still reads", {kProgram, "audio", "--rate", "--channels", "4"}, "--channels", 4},
        OptionCase{"name case matters", {kProgram, "audio", "--Rate", "5"}, "--rate", 48000},
        OptionCase{"equals form is no option", {kProgram, "audio", "--rate=5"}, "--rate", 48000},
        OptionCase{"found before the mode", {kProgram, "--rate", "7", "audio"}, "--rate", 7},
        OptionCase{"plus sign", {kProgram, "audio", "--rate", "+6"}, "--rate", 6},
        OptionCase{"minus one", {kProgram, "audio", "--rate", "-1"}, "--rate", -1},
        OptionCase{"leading zeros", {kProgram, "audio", "--rate", "007"}, "--rate", 7},
        OptionCase{"minus zero", {kProgram, "audio", "--rate", "-0"}, "--rate", 0},
        OptionCase{"int64 max", {kProgram, "audio", "--rate", "9223372036854775807"}, "--rate", INT64_MAX},
        OptionCase{"int64 min", {kProgram, "audio", "--rate", "-9223372036854775808"}, "--rate", INT64_MIN},
        OptionCase{"past max", {kProgram, "audio", "--rate", "9223372036854775808"}, "--rate", 48000},
        OptionCase{"past min", {kProgram, "audio", "--rate", "-9223372036854775809"}, "--rate", 48000},
        OptionCase{"far past max", {kProgram, "audio", "--rate", "99999999999999999999999"}, "--rate", 48000},
        OptionCase{"suffix", {kProgram, "audio", "--rate", "48k"}, "--rate", 48000},
        OptionCase{"decimal point", {kProgram, "audio", "--rate", "4.0"}, "--rate", 48000},
        OptionCase{"blank before", {kProgram, "audio", "--rate", " 5"}, "--rate", 48000},
        OptionCase{"blank after", {kProgram, "audio", "--rate", "5 "}, "--rate", 48000},
        OptionCase{"hex", {kProgram, "audio", "--rate", "0x10"}, "--rate", 48000},
        OptionCase{"empty", {kProgram, "audio", "--rate", ""}, "--rate", 48000},
        OptionCase{"sign alone", {kProgram, "audio", "--rate", "-"}, "--rate", 48000},
        OptionCase{"two signs", {kProgram, "audio", "--rate", "+-5"}, "--rate", 48000},
        OptionCase{"exponent", {kProgram, "audio", "--rate", "1e3"}, "--rate", 48000},
        OptionCase{"digit separator", {kProgram, "audio", "--rate", "48_000"}, "--rate", 48000},
        OptionCase{"arabic-indic digit", {kProgram, "audio", "--rate", "\xd9\xa5"}, "--rate", 48000}),
    // clang-format on
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

TEST(StringOptionTest, TakesTheNextArgumentVerbatim) {
    setArguments({kProgram, "video", "--out", "--fps", "--out", "/tmp/b"});
    EXPECT_EQ(stringOption("--out"), std::optional<std::string>("--fps"));

    setArguments({kProgram, "video", "--out", ""});
    EXPECT_EQ(stringOption("--out"), std::optional<std::string>(""));

    setArguments({kProgram, "video", "--out"});
    EXPECT_EQ(stringOption("--out"), std::nullopt);

    setArguments({kProgram, "video"});
    EXPECT_EQ(stringOption("--out"), std::nullopt);
}

}  // namespace
}  // namespace vx
