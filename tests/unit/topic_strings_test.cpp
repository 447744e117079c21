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

// The topic word that may come first: which topic, and what it names.
struct WordedCase {
    const char *name;
    std::vector<Element> strings;
    TopicKind topic;
    const char *item;  // Quote and Time: the item; Status: the item's name; null: #N/A
};

static const WordedCase WORDED_CASES[] = {
    {"OneItemIsAQuote", {{true, u"1234.lastprice"}}, TOPIC_QUOTE, "1234.lastprice"},
    {"DigitsFirstStillNameTheInsref", {{true, u"1234"}, {true, u"lastprice"}}, TOPIC_QUOTE, "1234.lastprice"},
    {"QuoteWord", {{true, u"Quote"}, {true, u"1234.lastprice"}}, TOPIC_QUOTE, "1234.lastprice"},
    {"TimeWord", {{true, u"Time"}, {true, u"1234.lastprice"}}, TOPIC_TIME, "1234.lastprice"},
    {"TimeWordInCapitals", {{true, u"TIME"}, {true, u"1234.lastprice"}}, TOPIC_TIME, "1234.lastprice"},
    {"TimeThenInsrefAndField",
     {{true, u"Time"}, {true, u"1234"}, {true, u"lastprice"}},
     TOPIC_TIME,
     "1234.lastprice"},
    {"QuoteThenInsrefAndField", {{true, u"quote"}, {true, u"1234"}, {true, u"a.b"}}, TOPIC_QUOTE, "1234.a.b"},
    {"StatusFeed", {{true, u"Status"}, {true, u"feed"}}, TOPIC_STATUS, "feed"},
    {"StatusInAnotherCase", {{true, u"sTATUS"}, {true, u"Clock"}}, TOPIC_STATUS, "clock"},
    {"StatusEveryItem", {{true, u"Status"}, {true, u"fields"}}, TOPIC_STATUS, "fields"},
    {"StatusUnknownItem", {{true, u"Status"}, {true, u"feeds"}}, TOPIC_STATUS, nullptr},
    {"StatusThreeStrings", {{true, u"Status"}, {true, u"feed"}, {true, u"x"}}, TOPIC_STATUS, nullptr},
    {"StatusAlone", {{true, u"Status"}}, TOPIC_QUOTE, nullptr},
    {"TimeWithAnUnsoundItem", {{true, u"Time"}, {true, u"01234.lastprice"}}, TOPIC_TIME, nullptr},
    {"TimeWithAnEmptyField", {{true, u"Time"}, {true, u"1234"}, {true, u""}}, TOPIC_TIME, nullptr},
    {"FourStrings",
     {{true, u"Time"}, {true, u"1234"}, {true, u"last"}, {true, u"price"}},
     TOPIC_TIME,
     nullptr},
    {"ThreeStringsWithoutAWord", {{true, u"1234"}, {true, u"last"}, {true, u"price"}}, TOPIC_QUOTE, nullptr},
    {"WordWithABlankIsNoWord", {{true, u"Time "}, {true, u"1234.lastprice"}}, TOPIC_QUOTE, nullptr},
    {"WordNotAString", {{false, u""}, {true, u"1234.lastprice"}}, TOPIC_QUOTE, nullptr},
    {"NonAsciiLookAlikeOfAWord", {{true, u"T\u0130me"}, {true, u"1234.lastprice"}}, TOPIC_QUOTE, nullptr},
};

class TopicWords : public testing::TestWithParam<WordedCase> {};

TEST_P(TopicWords, SelectTheTopic)
{
    const WordedCase &c = GetParam();
    std::vector<TopicString> strings;
    for (const Element &e : c.strings)
        strings.push_back(
            TopicString{e.text, reinterpret_cast<const WCHAR *>(e.units.data()), e.units.size()});
    TopicRequest request;
    bool linked = read_topic_strings(strings.data(), strings.size(), &request);
    ASSERT_EQ(linked, c.item != nullptr);
    if (!linked)
        return;
    EXPECT_EQ(request.topic, c.topic);
    if (c.topic == TOPIC_STATUS) {
        EXPECT_STREQ(status_item_name(request.status), c.item);
        return;
    }
    EXPECT_STREQ(request.item, c.item);
    unsigned long long insref;
    const char *field;
    ASSERT_TRUE(is_sound_item_name(c.item, std::string(c.item).size(), &insref, &field));
    EXPECT_EQ(request.insref, insref);
    EXPECT_STREQ(request.field, field);
}

INSTANTIATE_TEST_SUITE_P(Strings, TopicWords, testing::ValuesIn(WORDED_CASES),
                         [](const testing::TestParamInfo<WordedCase> &info) { return info.param.name; });
