#include "rtd/topic_strings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// One element of Strings: a text in UTF-16, or (text false) any other type.
struct Element {
    bool text;
    std::u16string units;
};

struct TopicCase {
    const char *name;
    std::vector<Element> strings;
    const char *item;  // null: #N/A
};

// 99 characters, the most an item has.
static const std::string LONGEST = "1234." + std::string(94, 'x');

static const TopicCase TOPIC_CASES[] = {
    {"OneString", {{true, u"1234.lastprice"}}, "1234.lastprice"},
    {"TwoStringsJoinedByADot", {{true, u"1234"}, {true, u"lastprice"}}, "1234.lastprice"},
    {"DotInTheFirstOfTwo", {{true, u"1234.a"}, {true, u"b"}}, "1234.a.b"},
    {"NoStrings", {}, nullptr},
    {"ThreeStrings", {{true, u"1234"}, {true, u"last"}, {true, u"price"}}, nullptr},
    {"NotAString", {{false, u""}}, nullptr},
    {"SecondNotAString", {{true, u"1234"}, {false, u""}}, nullptr},
    {"LeadingBlankNotTrimmed", {{true, u" 1234.lastprice"}}, nullptr},
    {"TrailingBlankKept", {{true, u"1234"}, {true, u"lastprice "}}, "1234.lastprice "},
    {"CaseKept", {{true, u"1234.LastPrice"}}, "1234.LastPrice"},
    {"NonAsciiRefused", {{true, u"1234.pr\u00E9x"}}, nullptr},
    {"NonAsciiOnlyBestFitWouldPass", {{true, u"1234.\uFF41"}}, nullptr},
    {"EmbeddedNul", {{true, std::u16string(u"1234.last\0price", 15)}}, nullptr},
    {"EmptyField", {{true, u"1234"}, {true, u""}}, nullptr},
    {"EmptyInsref", {{true, u""}, {true, u"lastprice"}}, nullptr},
    {"Longest", {{true, u"1234." + std::u16string(94, u'x')}}, LONGEST.c_str()},
    {"OneTooLong", {{true, u"1234." + std::u16string(95, u'x')}}, nullptr},
    {"TwoTooLongTogether", {{true, u"1234"}, {true, std::u16string(95, u'x')}}, nullptr},
    {"FirstFillsTheWholeItem", {{true, u"1234." + std::u16string(94, u'x')}, {true, u"y"}}, nullptr},
    {"InsrefZero", {{true, u"0"}, {true, u"lastprice"}}, nullptr},
};

class TopicItem : public testing::TestWithParam<TopicCase> {};

TEST_P(TopicItem, FollowsTheItemRule)
{
    const TopicCase &c = GetParam();
    std::vector<TopicString> strings;
    for (const Element &e : c.strings)
        strings.push_back(
            TopicString{e.text, reinterpret_cast<const WCHAR *>(e.units.data()), e.units.size()});
    char item[ITEM_NAME_MAX + 1];
    unsigned long long insref = 0;
    const char *field = nullptr;
    bool linked = topic_item(strings.data(), strings.size(), item, &insref, &field);
    ASSERT_EQ(linked, c.item != nullptr);
    if (!linked)
        return;
    EXPECT_STREQ(item, c.item);
    // The insref and field are those of the item itself, read the strict way.
    unsigned long long expected_insref;
    const char *expected_field;
    ASSERT_TRUE(is_sound_item_name(c.item, std::string(c.item).size(), &expected_insref, &expected_field));
    EXPECT_EQ(insref, expected_insref);
    EXPECT_STREQ(field, expected_field);
}

INSTANTIATE_TEST_SUITE_P(Strings, TopicItem, testing::ValuesIn(TOPIC_CASES),
                         [](const testing::TestParamInfo<TopicCase> &info) { return info.param.name; });
