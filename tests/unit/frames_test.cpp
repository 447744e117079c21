#include "test_support.h"

#include "core/log.h"

#include <cstring>

// Frames placed in receive_buffer of an open client, as the reader leaves them.
class HandleFrame : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        start_dde_side();
        feed = open_feed_client();
        sheet = standin::connect("Quellvarden", "Quote");
        ASSERT_TRUE(standin::advise(sheet, "1234.lastprice", xltable_format));
        ASSERT_TRUE(standin::advise(sheet, "1234.bid", CF_TEXT));
        standin::socket_state(feed).sent.clear();
    }
    void TearDown() override
    {
        EXPECT_EQ(standin::lock_info(&registry_lock).depth, 0) << "lock still held";
        ProgramTest::TearDown();
    }
    void load(const std::string &bytes)
    {
        ASSERT_LE(bytes.size(), FEED_BUFFER_SIZE);
        std::memcpy(feed_client.receive_buffer, bytes.data(), bytes.size());
        feed_client.receive_length = bytes.size();
        feed_client.receive_buffer[bytes.size()] = '\0';
    }
    int handle(uint64_t &offset) { return handle_frame(feed_client, offset); }
    int handle_one(const std::string &frame)
    {
        load(frame);
        uint64_t offset = 0;
        int result = handle(offset);
        if (result != 0) {
            EXPECT_EQ(offset, frame.size());
        }
        return result;
    }
    static const char *value(const char *field)
    {
        InstrumentField *f = find_field(find_instrument(1234), field);
        return f ? f->value : "(no field)";
    }
    static std::string update(const std::string &key, const std::string &value)
    {
        return "{\"key\":\"" + key + "\",\"value\":\"" + value + "\"}";
    }
    SOCKET feed = INVALID_SOCKET;
    HCONV sheet = nullptr;
};

TEST_F(HandleFrame, UpdateReachesEveryLinkBeforeReturning)
{
    HCONV text_sheet = standin::connect("Quellvarden", "Quote");
    ASSERT_TRUE(standin::advise(text_sheet, "1234.LASTPRICE", CF_TEXT));
    std::string text = update("1234.lastprice", "12.5");
    ASSERT_EQ(handle_one(client_frame(0x81, text)), 1);

    EXPECT_STREQ(value("lastprice"), "12.5");
    const auto &deliveries = standin::records().deliveries;
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0].bytes, xltable_number(12.5));
    EXPECT_EQ(deliveries[1].bytes, std::string("12.5\0", 5));
    EXPECT_EQ(status_line(2), "Last receieved: " + text);
    EXPECT_EQ(standin::lock_info(&registry_lock).max_depth, 2);
    // The item handle made for the post is released again.
    const auto &handles = standin::records().string_handles;
    ASSERT_EQ(handles.back().text, "1234.lastprice");
    EXPECT_EQ(handles.back().codepage, CP_WINANSI);
    EXPECT_EQ(standin::records().string_frees.back(), handles.back().result);
}

TEST_F(HandleFrame, MaskedAndUnmaskedFramesOfEveryLengthForm)
{
    for (bool masked : {false, true}) {
        for (size_t payload_size : {40u, 125u, 126u, 5000u}) {
            SCOPED_TRACE(testing::Message() << "masked " << masked << ", payload " << payload_size);
            std::string value_text = std::to_string(payload_size) + (masked ? ".5" : ".25");
            std::string text = update("1234.lastprice", value_text);
            text += std::string(payload_size - text.size(), ' ');
            ASSERT_EQ(handle_one(client_frame(0x81, text, masked)), 1);
            EXPECT_EQ(value("lastprice"), value_text);
        }
    }
    // The 64-bit length form, used for a short payload, is understood too.
    std::string text = update("1234.lastprice", "64");
    std::string frame("\x81\x7F\x00\x00\x00\x00\x00\x00\x00", 9);
    frame += static_cast<char>(text.size());
    ASSERT_EQ(handle_one(frame + text), 1);
    EXPECT_STREQ(value("lastprice"), "64");
}

TEST_F(HandleFrame, FrameCutAnywhereIsNotCompleteYet)
{
    std::string text = update("1234.lastprice", "12.5") + std::string(200, ' ');
    for (bool masked : {false, true}) {
        std::string frame = client_frame(0x81, text, masked);
        for (size_t cut = 0; cut < frame.size(); ++cut) {
            SCOPED_TRACE(testing::Message() << "masked " << masked << ", " << cut << " bytes");
            load(frame.substr(0, cut));
            uint64_t offset = 0;
            ASSERT_EQ(handle(offset), 0);
            EXPECT_EQ(offset, 0u);
            EXPECT_EQ(std::string(feed_client.receive_buffer, cut), frame.substr(0, cut));
        }
    }
    EXPECT_EQ(value("lastprice"), nullptr);
}

TEST_F(HandleFrame, NextFrameKeepsItsFirstByte)
{
    std::string first = client_frame(0x81, update("1234.lastprice", "1"), false);
    std::string second = client_frame(0x81, update("1234.bid", "2"));
    load(first + second);
    uint64_t offset = 0;
    ASSERT_EQ(handle(offset), 1);
    EXPECT_EQ(offset, first.size());
    EXPECT_EQ(feed_client.receive_buffer[offset], '\x81');
    ASSERT_EQ(handle(offset), 1);
    EXPECT_STREQ(value("lastprice"), "1");
    EXPECT_STREQ(value("bid"), "2");
}

// 1234.lastprice (linked in XlTable) and 1234.bid (in CF_TEXT) both hold
// "old" before each row.
struct UpdateCase {
    const char *name;
    std::string text;
    const char *lastprice;  // afterwards; null: no value
    const char *bid;
    size_t deliveries;
    bool refused;  // "Invalid receieved: " and the message on status line 4, nothing on line 2
    const char *reason = nullptr;  // refused: what the log says was wrong
};

static std::string update_text(const std::string &key, const std::string &value_json)
{
    return "{\"key\":\"" + key + "\",\"value\":" + value_json + "}";
}
static std::string last(const std::string &value_json)
{
    return update_text("1234.lastprice", value_json);
}

static const std::string PLAIN_UPDATE = last("\"12.5\"");
static const std::string LONGEST_NUMBER = "0." + std::string(1020, '0') + "1";  // 1023 bytes
static const std::string LONGEST_VALUE(1023, 'v');
static const std::string LONG_KEY_REASON = "key fails the item rule: 1234." + std::string(95, 'x');

static UpdateCase refused(const char *name, const std::string &text, const char *reason)
{
    return {name, text, "old", "old", 0, true, reason};
}

static const UpdateCase UPDATE_CASES[] = {
    {"Stored", PLAIN_UPDATE, "12.5", "old", 1, false},
    {"QuotedNullClears", last("\"null\""), nullptr, "old", 1, false},
    {"NullClears", last("null"), nullptr, "old", 1, false},
    {"NumberAsWritten", last("12.50"), "12.50", "old", 1, false},
    {"NumberWithExponent", last("-3e-2"), "-3e-2", "old", 1, false},
    {"NotANumberAsText", last("NaN"), "NaN", "old", 1, false},
    {"MinusInfinityAsText", last("-Infinity"), "-Infinity", "old", 1, false},
    {"LongestNumber", last(LONGEST_NUMBER), LONGEST_NUMBER.c_str(), "old", 1, false},
    {"LongestValue", last("\"" + LONGEST_VALUE + "\""), LONGEST_VALUE.c_str(), "old", 1, false},
    {"ValueMemberFirst", "{\"value\":\"13\",\"key\":\"1234.lastprice\"}", "13", "old", 1, false},
    {"BlanksAroundEverything", " {\"key\" : \"1234.lastprice\" ,\r\n\t\"value\" : 7 } ", "7", "old", 1,
     false},
    {"EscapedQuote", last(R"("12\" pipe")"), "12\" pipe", "old", 1, false},
    {"EveryShortEscape", last(R"("\"\\\/\b\f\n\r\t")"), "\"\\/\b\f\n\r\t", "old", 1, false},
    {"UnicodeEscape", last(R"("Z\u00fcrich")"), "Z\xC3\xBCrich", "old", 1, false},
    {"SurrogatePair", last(R"("\ud83d\ude00")"), "\xF0\x9F\x98\x80", "old", 1, false},
    {"RawUtf8", last("\"\xE6\x9D\xB1\xE4\xBA\xAC\""), "\xE6\x9D\xB1\xE4\xBA\xAC", "old", 1, false},
    {"RawAnsiBytesKept", last("\"Z\xFCrich\""), "Z\xFCrich", "old", 1, false},
    {"EscapedKeyAndMemberName", R"({"k\u0065y":"1234.l\u0061stprice","value":"5"})", "5", "old", 1, false},
    {"OtherMembersPassedOver",
     R"({"ts":[1,{"key":"1234.bid","value":"x"}],"key":"1234.lastprice","meta":{"value":true},"value":"6"})",
     "6", "old", 1, false},
    {"RepeatedMembersLastCounts", R"({"key":"1234.bid","value":"1","key":"1234.lastprice","value":"2"})", "2",
     "old", 1, false},
    {"BatchInOrder", "[" + last("\"1\"") + "," + update_text("1234.bid", "2") + ",\n" + last("\"3\"") + "]",
     "3", "2", 3, false},
    {"EmptyValueChangesNothing", last("\"\""), "old", "old", 0, false},
    {"BatchSkipsAnEmptyValue", "[" + last("\"\"") + "," + update_text("1234.bid", "2") + "]", "old", "2", 1,
     false},
    // A sound item nobody asked for is dropped without a word.
    {"UnknownInstrument", update_text("999.lastprice", "1"), "old", "old", 0, false},
    {"UnknownField", update_text("1234.nosuch", "1"), "old", "old", 0, false},
    {"FieldInOtherCase", update_text("1234.LastPrice", "1"), "old", "old", 0, false},
    // Anything refused refuses the whole payload.
    refused("BatchWithABadElementInTheMiddle",
            "[" + update_text("1234.bid", "2") + "," + last("true") + "," + last("\"3\"") + "]",
            "value is true"),
    refused("NotJson", PLAIN_UPDATE.substr(0, PLAIN_UPDATE.size() - 1),
            "not JSON: Missing a comma or '}' after an object member at byte 38"),
    refused("TextAfterTheObject", PLAIN_UPDATE + " x",
            "not JSON: The document root must not be followed by other values at byte 40"),
    refused("TwoObjects", PLAIN_UPDATE + PLAIN_UPDATE,
            "not JSON: The document root must not be followed by other values at byte 39"),
    refused("NulByteInside", PLAIN_UPDATE + std::string("\0", 1) + " ", "NUL byte at byte 39"),
    refused("EmptyArray", "[]", "an empty array"),
    refused("EmptyObject", "{}", "no key"),
    refused("TopLevelString", "\"1234.lastprice\"", "a string where an update belongs"),
    refused("ArrayInsideTheArray", "[[" + PLAIN_UPDATE + "]]", "an array inside the array"),
    refused("NumberInsideTheArray", "[" + PLAIN_UPDATE + ",1]", "a number where an update belongs"),
    refused("NoKey", "{\"value\":\"1\"}", "no key"),
    refused("NoValue", "{\"key\":\"1234.lastprice\"}", "no value"),
    refused("KeyNotAString", "{\"key\":1234,\"value\":\"1\"}", "key is a number"),
    refused("KeyStringThenNumber", "{\"key\":\"1234.lastprice\",\"key\":1,\"value\":\"1\"}",
            "key is a number"),
    refused("ValueTrue", last("true"), "value is true"),
    refused("ValueObject", last("{\"v\":1}"), "value is an object"),
    refused("ValueArray", last("[1]"), "value is an array"),
    refused("NulEscapeInValue", last(R"("1\u00002")"), "value holds \\u0000"),
    refused("NulEscapeInKey", R"({"key":"1234.lastprice\u0000x","value":"1"})", "key holds \\u0000"),
    refused("LoneLowSurrogate", last(R"("a\udc00")"), "lone surrogate at byte 34"),
    refused("LoneHighSurrogate", last(R"("a\ud800b")"), "lone surrogate at byte 34"),
    refused("ValueOf1024Bytes", last("\"" + std::string(1024, 'v') + "\""), "value is over 1023 bytes"),
    refused("NumberOf1024Bytes", last(LONGEST_NUMBER + "0"), "value is over 1023 bytes"),
    refused("NestedTooDeep", "{\"x\":[[[[[[[[1]]]]]]]]," + PLAIN_UPDATE.substr(1), "nested more than 8 deep"),
    refused("UnquotedKeyWord", "{key:\"1234.lastprice\",\"value\":\"1\"}",
            "not JSON: Missing a name for object member at byte 1"),
    refused("KeyWithoutDot", update_text("1234", "1"), "key fails the item rule: 1234"),
    refused("LeadingZero", update_text("01234.lastprice", "5"), "key fails the item rule: 01234.lastprice"),
    refused("LeadingBlank", update_text(" 1234.lastprice", "5"), "key fails the item rule:  1234.lastprice"),
    refused("Sign", update_text("+1234.lastprice", "5"), "key fails the item rule: +1234.lastprice"),
    refused("DigitsThenLetters", update_text("1234abc.lastprice", "5"),
            "key fails the item rule: 1234abc.lastprice"),
    refused("KeyLongerThanAnItem", update_text("1234." + std::string(95, 'x'), "5"), LONG_KEY_REASON.c_str()),
    refused("EscapedQuoteInKey", R"({"key":"1234.last\"price","value":"5"})",
            "key fails the item rule: 1234.last\"price"),
};

class UpdateTable : public HandleFrame, public testing::WithParamInterface<UpdateCase> {};

TEST_P(UpdateTable, WhatAnUpdateChanges)
{
    const UpdateCase &c = GetParam();
    set_value(find_field(find_instrument(1234), "lastprice"), "old");
    set_value(find_field(find_instrument(1234), "bid"), "old");
    standin::records().deliveries.clear();
    ASSERT_EQ(handle_one(client_frame(0x81, c.text)), 1);
    if (c.lastprice) {
        EXPECT_STREQ(value("lastprice"), c.lastprice);
    } else {
        EXPECT_EQ(value("lastprice"), nullptr);
    }
    EXPECT_STREQ(value("bid"), c.bid);
    EXPECT_EQ(standin::records().deliveries.size(), c.deliveries);
    std::string shown = c.text.substr(0, std::min(c.text.find('\0'), size_t{254}));
    EXPECT_EQ(status_line(2), c.deliveries ? ("Last receieved: " + shown).substr(0, 254) : "");
    EXPECT_EQ(status_line(4), c.refused ? ("Invalid receieved: " + shown).substr(0, 254) : "");
    // The log says why, with the message as it came; nothing for a message taken.
    std::vector<std::string> refusals;
    for (const std::string &event : logged_events()) {
        if (event.rfind("Update refused: ", 0) == 0)
            refusals.push_back(event);
    }
    if (c.refused) {
        std::string message = c.text.substr(0, std::min(c.text.find('\0'), LOG_EXCERPT_MAX));
        EXPECT_EQ(refusals,
                  std::vector<std::string>{"Update refused: " + std::string(c.reason) + ": " + message});
    } else {
        EXPECT_TRUE(refusals.empty()) << refusals[0];
    }
}

INSTANTIATE_TEST_SUITE_P(Updates, UpdateTable, testing::ValuesIn(UPDATE_CASES),
                         [](const testing::TestParamInfo<UpdateCase> &info) { return info.param.name; });
