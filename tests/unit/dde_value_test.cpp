#include "tools/ddewatch/dde_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

static Bytes table(unsigned rows, unsigned cols, const Bytes &cells)
{
    Bytes b = {0x10, 0, 4, 0, static_cast<unsigned char>(rows), 0, static_cast<unsigned char>(cols), 0};
    b.insert(b.end(), cells.begin(), cells.end());
    return b;
}

static Bytes float_block(double value)
{
    Bytes b = {0x01, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::memcpy(b.data() + 4, &value, 8);
    return b;
}

// Decodes through a copy that ends exactly at the data's end, so that
// AddressSanitizer catches any read past it.
static bool decode(const Bytes &data, std::string *out)
{
    std::vector<unsigned char> exact(data);
    exact.shrink_to_fit();
    return decode_xltable(exact.empty() ? nullptr : exact.data(), exact.size(), out);
}

struct GoodCase {
    const char *name;
    Bytes data;
    const char *text;
};

TEST(DdeValue, WellFormedTablesPrintTheirCells)
{
    const Bytes plus = {0x02, 0, 5, 0, 4, 'a', ' ', '"', 'b'};
    const GoodCase cases[] = {
        {"number", table(1, 1, float_block(12.5)), "12.5"},
        {"negative number", table(1, 1, float_block(-0.001)), "-0.001"},
        {"fifteen digits", table(1, 1, float_block(0.1 + 0.2)), "0.3"},
        {"large number", table(1, 1, float_block(1e21)), "1e+21"},
        {"blank string", table(1, 1, {0x02, 0, 2, 0, 1, ' '}), "\" \""},
        {"empty string", table(1, 1, {0x02, 0, 1, 0, 0}), "\"\""},
        {"string with quote", table(1, 1, plus), "\"a \"b\""},
        {"control character", table(1, 1, {0x02, 0, 3, 0, 2, 'a', '\n'}), "\"a\\x0A\""},
        {"two strings in one block", table(1, 2, {0x02, 0, 4, 0, 1, 'x', 1, 'y'}), "\"x\" \"y\""},
        {"bools", table(2, 1, {0x03, 0, 4, 0, 1, 0, 0, 0}), "TRUE FALSE"},
        {"errors", table(1, 3, {0x04, 0, 6, 0, 42, 0, 7, 0, 99, 0}), "#N/A #DIV/0! #ERROR99"},
        {"ints", table(1, 2, {0x06, 0, 4, 0, 0xFE, 0xFF, 0x39, 0x30}), "-2 12345"},
        {"blanks", table(1, 2, {0x05, 0, 2, 0, 2, 0}), "<blank> <blank>"},
        {"skip", table(1, 1, {0x07, 0, 2, 0, 1, 0}), "<skip>"},
        {"trailing bytes after the last cell", table(1, 1, {0x05, 0, 2, 0, 1, 0, 0xAA, 0xBB, 0xCC}),
         "<blank>"},
    };
    for (const GoodCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::string out = "> ";
        ASSERT_TRUE(decode(c.data, &out));
        EXPECT_EQ(out, std::string("> ") + c.text);
    }
}

TEST(DdeValue, MixedBlocksMakeOneRow)
{
    Bytes cells = float_block(1.5);
    const Bytes rest = {0x02, 0, 3, 0, 2, 'o', 'k', 0x06, 0, 2, 0, 7, 0};
    cells.insert(cells.end(), rest.begin(), rest.end());
    std::string out;
    ASSERT_TRUE(decode(table(1, 3, cells), &out));
    EXPECT_EQ(out, "1.5 \"ok\" 7");
}

TEST(DdeValue, MalformedTablesAreRefusedAndLeaveTheOutputAlone)
{
    const Bytes number = table(1, 1, float_block(12.5));
    const GoodCase cases[] = {
        {"empty", {}, nullptr},
        {"header cut short", {0x10, 0, 4, 0, 1, 0, 1}, nullptr},
        {"no tdtTable first", {0x01, 0, 4, 0, 1, 0, 1, 0, 0x05, 0, 2, 0, 1, 0}, nullptr},
        {"table header of 6 bytes", {0x10, 0, 6, 0, 1, 0, 1, 0, 0, 0, 0x05, 0, 2, 0, 1, 0}, nullptr},
        {"no rows", table(0, 1, {0x05, 0, 2, 0, 1, 0}), nullptr},
        {"no cells at all", table(1, 1, {}), nullptr},
        {"float cut short", Bytes(number.begin(), number.end() - 1), nullptr},
        {"block header cut short", table(1, 1, {0x01, 0, 8}), nullptr},
        {"float of 7 bytes", table(1, 1, {0x01, 0, 7, 0, 1, 2, 3, 4, 5, 6, 7}), nullptr},
        {"float of 0 bytes", table(1, 1, {0x01, 0, 0, 0}), nullptr},
        {"string longer than its block", table(1, 1, {0x02, 0, 2, 0, 5, 'a'}), nullptr},
        {"string block of 0 bytes", table(1, 1, {0x02, 0, 0, 0}), nullptr},
        {"odd int block", table(1, 1, {0x06, 0, 3, 0, 1, 0, 0}), nullptr},
        {"blank count of 0", table(1, 1, {0x05, 0, 2, 0, 0, 0}), nullptr},
        {"blank block of 4 bytes", table(1, 1, {0x05, 0, 4, 0, 1, 0, 0, 0}), nullptr},
        {"unknown type", table(1, 1, {0x08, 0, 2, 0, 1, 0}), nullptr},
        {"more cells than the table", table(1, 1, {0x06, 0, 4, 0, 1, 0, 2, 0}), nullptr},
        {"fewer cells than the table", table(1, 2, {0x06, 0, 2, 0, 1, 0}), nullptr},
        {"blank run past the table", table(1, 2, {0x05, 0, 2, 0, 3, 0}), nullptr},
        {"block past the end", table(1, 1, {0x02, 0, 0xFF, 0xFF, 1, 'x'}), nullptr},
    };
    for (const GoodCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::string out = "kept";
        EXPECT_FALSE(decode(c.data, &out));
        EXPECT_EQ(out, "kept");
    }
}

TEST(DdeValue, TextStopsAtTheFirstNul)
{
    struct TextCase {
        Bytes data;
        const char *text;
    } cases[] = {
        {{'1', '2', '.', '5', 0}, "12.5"},
        {{'a', 'b', 0, 'c', 0}, "ab"},
        {{'n', 'o', 'n', 'u', 'l'}, "nonul"},
        {{' ', 0}, " "},
        {{0}, ""},
        {{}, ""},
        {{'a', '\r', '\n', 0}, "a\\x0D\\x0A"},
    };
    for (const TextCase &c : cases) {
        SCOPED_TRACE(c.text);
        std::string out;
        std::vector<unsigned char> exact(c.data);
        decode_text(exact.empty() ? nullptr : exact.data(), exact.size(), &out);
        EXPECT_EQ(out, c.text);
    }
}

TEST(DdeValue, WideTextStopsAtTheFirstWideNulAndPrintsInUtf8)
{
    struct WideCase {
        Bytes data;
        const char *text;
    } cases[] = {
        {{0x71, 0x67, 0xAC, 0x4E, 0, 0}, "\xE6\x9D\xB1\xE4\xBA\xAC"},  // two CJK characters
        {{'Z', 0, 0xFC, 0, 0, 0, 'x', 0}, "Z\xC3\xBC"},
        {{0x3D, 0xD8, 0x00, 0xDE, 0, 0}, "\xF0\x9F\x98\x80"},  // a surrogate pair
        {{0x3D, 0xD8, 'a', 0}, "\xEF\xBF\xBD" "a"},            // half a pair
        {{'a', 0, '\n', 0, 'b'}, "a\\x0A"},                    // no wide NUL, odd byte left
        {{}, ""},
    };
    for (const WideCase &c : cases) {
        SCOPED_TRACE(c.text);
        std::string out;
        std::vector<unsigned char> exact(c.data);
        decode_utf16_text(exact.empty() ? nullptr : exact.data(), exact.size(), &out);
        EXPECT_EQ(out, c.text);
    }
}

TEST(DdeValue, NumbersPrintAlikeOnEveryRuntime)
{
    const struct {
        double value;
        const char *text;
    } cases[] = {
        {12.5, "12.5"},    {42, "42"},          {-0.0, "-0"}, {123456789012345678.0, "1.23456789012346e+17"},
        {INFINITY, "inf"}, {-INFINITY, "-inf"}, {NAN, "nan"},
    };
    for (const auto &c : cases) {
        std::string out;
        format_number(c.value, &out);
        EXPECT_EQ(out, c.text);
    }
}
