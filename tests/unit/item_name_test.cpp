#include "core/item_name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

struct ItemCase {
    const char *name;
    const char *text;
    bool lenient;  // parse_item_name
    bool sound;    // is_sound_item_name
    unsigned long long insref;
    const char *field;
};

static const ItemCase ITEM_CASES[] = {
    {"Plain", "1234.lastprice", true, true, 1234, "lastprice"},
    {"FieldWithDots", "1234.a.b", true, true, 1234, "a.b"},
    {"LargestInsref", "18446744073709551615.x", true, true, 18446744073709551615ull, "x"},
    {"FieldWithBlank", "1234.last price", true, true, 1234, "last price"},
    {"Byte0x7F", "1234.a\x7F", true, true, 1234, "a\x7F"},
    {"Byte0x1F", "1234.a\x1F", true, false, 1234, "a\x1F"},
    {"Byte0x80", "1234.a\x80", true, false, 1234, "a\x80"},
    {"EmptyField", "1234.", true, false, 1234, ""},
    {"LeadingZero", "01234.lastprice", true, false, 1234, "lastprice"},
    {"Sign", "+1234.lastprice", true, false, 1234, "lastprice"},
    {"LeadingBlank", " 1234.lastprice", true, false, 1234, "lastprice"},
    {"Negative", "-1.lastprice", true, false, 18446744073709551615ull, "lastprice"},
    {"InsrefPast64Bits", "18446744073709551616.x", true, false, 18446744073709551615ull, "x"},
    {"Quote", "1234.last\"price", true, false, 1234, "last\"price"},
    {"Backslash", "1234.last\\price", true, false, 1234, "last\\price"},
    {"Tab", "1234.last\tprice", true, false, 1234, "last\tprice"},
    {"Latin1", "1234.pr\xE9x", true, false, 1234, "pr\xE9x"},
    {"InsrefZero", "0.price", false, false, 0, nullptr},
    {"InsrefNotANumber", "abc.price", false, false, 0, nullptr},
    {"DigitsAfterTheNumber", "1234abc.lastprice", false, false, 1234, nullptr},
    {"NoDot", "1234", false, false, 1234, nullptr},
    {"CommaForDot", "1234,price", false, false, 1234, nullptr},
    {"Empty", "", false, false, 0, nullptr},
};

class ItemName : public testing::TestWithParam<ItemCase> {};

TEST_P(ItemName, LenientAndStrictReadings)
{
    const ItemCase &c = GetParam();
    unsigned long long insref = 99;
    const char *field = "unset";
    EXPECT_EQ(parse_item_name(c.text, &insref, &field), c.lenient);
    EXPECT_EQ(insref, c.insref);
    if (c.field)
        EXPECT_STREQ(field, c.field);
    else
        EXPECT_EQ(field, nullptr);
    EXPECT_EQ(is_sound_item_name(c.text, std::strlen(c.text), &insref, &field), c.sound);
}

INSTANTIATE_TEST_SUITE_P(Texts, ItemName, testing::ValuesIn(ITEM_CASES),
                         [](const testing::TestParamInfo<ItemCase> &info) { return info.param.name; });

TEST(ItemNameLength, WholeLengthCountsNotTheCutCopy)
{
    std::string item = "1234." + std::string(94, 'f');  // 99 characters
    unsigned long long insref;
    const char *field;
    EXPECT_TRUE(is_sound_item_name(item.c_str(), 99, &insref, &field));
    // The same 99 characters, but cut from a 100-character name.
    EXPECT_FALSE(is_sound_item_name(item.c_str(), 100, &insref, &field));
    item += 'f';
    EXPECT_FALSE(is_sound_item_name(item.c_str(), item.size(), &insref, &field));
}
