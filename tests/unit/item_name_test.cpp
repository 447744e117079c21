#include "core/item_name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

struct ItemCase {
    const char *text;
    bool lenient;  // parse_item_name
    bool sound;    // is_sound_item_name
    unsigned long long insref;
    const char *field;
};

static const ItemCase ITEM_CASES[] = {
    {"1234.lastprice", true, true, 1234, "lastprice"},
    {"1234.a.b", true, true, 1234, "a.b"},
    {"18446744073709551615.x", true, true, 18446744073709551615ull, "x"},
    {"1234.", true, false, 1234, ""},
    {"01234.lastprice", true, false, 1234, "lastprice"},
    {"+1234.lastprice", true, false, 1234, "lastprice"},
    {" 1234.lastprice", true, false, 1234, "lastprice"},
    {"-1.lastprice", true, false, 18446744073709551615ull, "lastprice"},
    {"18446744073709551616.x", true, false, 18446744073709551615ull, "x"},
    {"1234.last\"price", true, false, 1234, "last\"price"},
    {"1234.last\\price", true, false, 1234, "last\\price"},
    {"1234.last\tprice", true, false, 1234, "last\tprice"},
    {"1234.pr\xE9x", true, false, 1234, "pr\xE9x"},
    {"0.price", false, false, 0, nullptr},
    {"abc.price", false, false, 0, nullptr},
    {"1234", false, false, 1234, nullptr},
    {"1234,price", false, false, 1234, nullptr},
    {"", false, false, 0, nullptr},
};

TEST(ItemName, LenientAndStrictReadings)
{
    for (const ItemCase &c : ITEM_CASES) {
        SCOPED_TRACE(c.text);
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
}

TEST(ItemName, WholeLengthCountsNotTheCutCopy)
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
