// rtdwatch's reading of what an RTD server answers (tools/rtdwatch/rtd_array).
#include "tools/rtdwatch/rtd_array.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

static RtdCell id(int32_t topic)
{
    RtdCell cell;
    cell.type = RTD_VT_I4;
    cell.i4 = topic;
    return cell;
}

static RtdCell number(double value)
{
    RtdCell cell;
    cell.type = RTD_VT_R8;
    cell.r8 = value;
    return cell;
}

static RtdCell text(const std::u16string &value)
{
    RtdCell cell;
    cell.type = RTD_VT_BSTR;
    cell.text = value;
    return cell;
}

static RtdCell error(uint32_t scode)
{
    RtdCell cell;
    cell.type = RTD_VT_ERROR;
    cell.scode = scode;
    return cell;
}

struct RtdFormatCase {
    const char *name;
    RtdCell cell;
    const char *expected;  // null: refused
};

static const RtdFormatCase FORMAT_CASES[] = {
    {"Number", number(12.5), "12.5"},
    {"ShortestRoundTrip", number(0.1), "0.1"},
    {"SeventeenDigitsWhenNeeded", number(0.1 + 0.2), "0.30000000000000004"},
    {"Integer", number(195), "195"},
    {"Negative", number(-3), "-3"},
    {"Large", number(1e300), "1e+300"},
    {"WholeThousand", number(1000), "1000"},
    {"SeventeenIntegerDigits", number(1e16), "10000000000000000"},
    {"EighteenIntegerDigits", number(1e17), "1e+17"},
    {"IntegerAndFraction", number(12345678.9), "12345678.9"},
    {"Small", number(0.00012), "0.00012"},
    {"Text", text(u"name 1234"), "\"name 1234\""},
    {"Blank", text(u" "), "\" \""},
    {"InnerQuotesDoubled", text(u"say \"hi\""), "\"say \"\"hi\"\"\""},
    {"Unicode", text(u"\u6771\u4EAC"), "\"\xE6\x9D\xB1\xE4\xBA\xAC\""},
    {"SurrogatePair", text(u"\U0001F4C8"), "\"\xF0\x9F\x93\x88\""},
    {"LoneSurrogate", text(std::u16string(1, char16_t(0xD83D))), "\"\xEF\xBF\xBD\""},
    {"ControlCharacter", text(u"a\nb"), "\"a\\x0Ab\""},
    {"ExcelNA", error(0x800A07FA), "#N/A"},
    {"OtherError", error(0x800A07D7), "#ERROR(0x800A07D7)"},
    {"TopicIdIsNoValue", id(7), nullptr},
    {"Empty", RtdCell(), nullptr},
};

class FormatValue : public testing::TestWithParam<RtdFormatCase> {};

TEST_P(FormatValue, AsOneLinesEnd)
{
    std::string out = "x ";
    bool formatted = format_value(GetParam().cell, &out);
    ASSERT_EQ(formatted, GetParam().expected != nullptr);
    EXPECT_EQ(out, formatted ? std::string("x ") + GetParam().expected : "x ");
}

INSTANTIATE_TEST_SUITE_P(Values, FormatValue, testing::ValuesIn(FORMAT_CASES),
                         [](const testing::TestParamInfo<RtdFormatCase> &info) { return info.param.name; });

// A well-formed answer for topics 1 and 2, which each case then spoils.
static RefreshAnswer two_topics()
{
    RefreshAnswer answer;
    answer.dims = 2;
    answer.variants = true;
    answer.count[0] = 2;
    answer.count[1] = 2;
    answer.cells = {id(1), number(12.5), id(2), text(u"x")};
    answer.topic_count = 2;
    return answer;
}

struct RtdDecodeCase {
    const char *name;
    std::function<void(RefreshAnswer &)> spoil;
    bool read;
};

static const RtdDecodeCase DECODE_CASES[] = {
    {"WellFormed", [](RefreshAnswer &) {}, true},
    {"EmptyTwoByZero",
     [](RefreshAnswer &a) {
         a.count[1] = 0;
         a.cells.clear();
         a.topic_count = 0;
     },
     true},
    {"OneDimension", [](RefreshAnswer &a) { a.dims = 1; }, false},
    {"ThreeDimensions", [](RefreshAnswer &a) { a.dims = 3; }, false},
    {"NotVariants", [](RefreshAnswer &a) { a.variants = false; }, false},
    {"FirstDimensionFromOne", [](RefreshAnswer &a) { a.lower[0] = 1; }, false},
    {"ThreeRows", [](RefreshAnswer &a) { a.count[0] = 3; }, false},
    {"SecondDimensionFromOne", [](RefreshAnswer &a) { a.lower[1] = 1; }, false},
    {"CountTooSmall", [](RefreshAnswer &a) { a.topic_count = 1; }, false},
    {"CountTooLarge", [](RefreshAnswer &a) { a.topic_count = 3; }, false},
    {"NegativeCount", [](RefreshAnswer &a) { a.topic_count = -1; }, false},
    {"IdNotI4", [](RefreshAnswer &a) { a.cells[2] = number(2); }, false},
    {"IdNeverConnected", [](RefreshAnswer &a) { a.cells[2] = id(3); }, false},
    {"IdTwice", [](RefreshAnswer &a) { a.cells[2] = id(1); }, false},
    {"ValueOfOtherType", [](RefreshAnswer &a) { a.cells[3] = id(5); }, false},
    {"MissingCells", [](RefreshAnswer &a) { a.cells.pop_back(); }, false},
};

class DecodeRefresh : public testing::TestWithParam<RtdDecodeCase> {};

TEST_P(DecodeRefresh, IsStrict)
{
    RefreshAnswer answer = two_topics();
    GetParam().spoil(answer);
    std::vector<TopicValue> values = {{99, "kept"}};
    std::string why;
    bool read = decode_refresh(answer, {1, 2}, &values, &why);
    ASSERT_EQ(read, GetParam().read) << why;
    if (!read) {
        EXPECT_FALSE(why.empty());
        ASSERT_EQ(values.size(), 1u) << "nothing appended";
        return;
    }
    std::vector<std::pair<long, std::string>> got;
    for (const TopicValue &v : values)
        got.emplace_back(v.topic, v.value);
    std::vector<std::pair<long, std::string>> expected = {{99, "kept"}};
    if (answer.topic_count == 2) {
        expected.emplace_back(1, "12.5");
        expected.emplace_back(2, "\"x\"");
    }
    EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(Answers, DecodeRefresh, testing::ValuesIn(DECODE_CASES),
                         [](const testing::TestParamInfo<RtdDecodeCase> &info) { return info.param.name; });
