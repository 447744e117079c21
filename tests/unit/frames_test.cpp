#include "test_support.h"

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
    int handle(uint64_t &offset) { return handle_frame(dde_instance, topic_name, feed_client, offset); }
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

TEST_F(HandleFrame, FramesThatCanNeverFitEndTheConnection)
{
    const std::string too_long[] = {
        std::string("\x81\x7F\x80\x00\x00\x00\x00\x00\x00\x00", 10),
        std::string("\x81\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01\x02\x03\x04", 14),
        std::string("\x81\x7E\x28\x05", 4),  // 10245 bytes behind a 4-byte header
    };
    for (const std::string &header : too_long) {
        load(header);
        uint64_t offset = 0;
        EXPECT_EQ(handle(offset), -1);
    }
    load(std::string("\x81\x7E\x28\x04", 4));  // 10244: fills the buffer exactly
    uint64_t offset = 0;
    EXPECT_EQ(handle(offset), 0);
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

TEST_F(HandleFrame, OpcodesDecideWhatAFrameDoes)
{
    std::string text = update("1234.lastprice", "7");
    for (int opcode = 0; opcode < 16; ++opcode) {
        SCOPED_TRACE(opcode);
        disconnect_feed_client();  // each opcode on a fresh connection
        feed = open_feed_client();
        set_value(find_field(find_instrument(1234), "lastprice"), nullptr);
        // FIN and the reserved bits do not matter.
        unsigned char first_byte = static_cast<unsigned char>((opcode % 2 ? 0x80 : 0x70) | opcode);
        int result = handle_one(client_frame(first_byte, text));

        bool data = opcode < 8;
        EXPECT_EQ(result, opcode == 8 || opcode == 12 ? -1 : 1);
        EXPECT_EQ(value("lastprice") != nullptr, data);
        // A ping is answered with a pong that carries its payload; a close
        // (whose first two bytes here are no status code) with a close of
        // 1000, the reserved opcode 12 with a close of 1002, protocol error.
        std::string answer = opcode == 9    ? std::string("\x8A", 1) + static_cast<char>(text.size()) + text
                             : opcode == 8  ? std::string("\x88\x02\x03\xE8", 4)
                             : opcode == 12 ? std::string("\x88\x02\x03\xEA", 4)
                                            : "";
        EXPECT_EQ(standin::socket_state(feed).sent, answer);
        EXPECT_EQ(feed_client.state, opcode == 8 || opcode == 12 ? FEED_CLOSING : FEED_OPEN);
    }
}

struct UpdateCase {
    const char *name;
    std::string text;
    const char *stored;  // value of 1234.lastprice afterwards; it was "old"
    size_t deliveries;
    bool shown;         // on status line 2 as received
    const char *line4;  // null: empty
};

static std::string update_text(const std::string &key, const std::string &value)
{
    return "{\"key\":\"" + key + "\",\"value\":\"" + value + "\"}";
}

static const std::string PLAIN_UPDATE = update_text("1234.lastprice", "12.5");

static const UpdateCase UPDATE_CASES[] = {
    {"Stored", PLAIN_UPDATE, "12.5", 1, true, nullptr},
    {"QuotedNullClears", update_text("1234.lastprice", "null"), nullptr, 1, true, nullptr},
    {"ValueMemberFirst", "{\"value\":\"13\",\"key\":\"1234.lastprice\"}", "13", 1, true, nullptr},
    {"UnquotedNull", "{\"key\":\"1234.lastprice\",\"value\":null}", "old", 0, false, nullptr},
    {"UnquotedNumberLast", "{\"key\":\"1234.lastprice\",\"value\":12.5}", "old", 0, false, nullptr},
    {"UnquotedNumberFirst", "{\"value\":12.5,\"key\":\"1234.lastprice\"}", "old", 0, false, nullptr},
    {"EmptyValue", update_text("1234.lastprice", ""), "old", 0, false, nullptr},
    {"NoKey", "{\"value\":\"1\"}", "old", 0, false, nullptr},
    {"NulInsideText", PLAIN_UPDATE.substr(0, 20) + std::string("\0", 1) + PLAIN_UPDATE.substr(20), "old", 0,
     false, nullptr},
    // A sound item nobody asked for is dropped without a word.
    {"UnknownInstrument", update_text("999.lastprice", "1"), "old", 0, false, nullptr},
    {"UnknownField", update_text("1234.nosuch", "1"), "old", 0, false, nullptr},
    {"FieldInOtherCase", update_text("1234.LastPrice", "1"), "old", 0, false, nullptr},
    // Keys that only resemble an item change nothing and are reported.
    {"KeyWithoutDot", update_text("1234", "1"), "old", 0, false, "Invalid receieved: "},
    {"UnknownKeyWithoutDot", update_text("999", "1"), "old", 0, false, "Invalid receieved: "},
    {"LeadingZero", update_text("01234.lastprice", "5"), "old", 0, false, "Invalid receieved: "},
    {"LeadingBlank", update_text(" 1234.lastprice", "5"), "old", 0, false, "Invalid receieved: "},
    {"Sign", update_text("+1234.lastprice", "5"), "old", 0, false, "Invalid receieved: "},
    {"DigitsThenLetters", update_text("1234abc.lastprice", "5"), "old", 0, false, "Invalid receieved: "},
    {"KeyLongerThanAnItem", update_text("1234." + std::string(95, 'x'), "5"), "old", 0, false,
     "Invalid receieved: "},
};

class UpdateTable : public HandleFrame, public testing::WithParamInterface<UpdateCase> {};

TEST_P(UpdateTable, WhatAnUpdateChanges)
{
    const UpdateCase &c = GetParam();
    set_value(find_field(find_instrument(1234), "lastprice"), "old");
    standin::records().deliveries.clear();
    ASSERT_EQ(handle_one(client_frame(0x81, c.text)), 1);
    if (c.stored) {
        EXPECT_STREQ(value("lastprice"), c.stored);
    } else {
        EXPECT_EQ(value("lastprice"), nullptr);
    }
    EXPECT_EQ(standin::records().deliveries.size(), c.deliveries);
    EXPECT_EQ(status_line(2), c.shown ? "Last receieved: " + c.text : "");
    EXPECT_EQ(status_line(4), c.line4 ? (c.line4 + c.text).substr(0, 254) : "");
}

INSTANTIATE_TEST_SUITE_P(Updates, UpdateTable, testing::ValuesIn(UPDATE_CASES),
                         [](const testing::TestParamInfo<UpdateCase> &info) { return info.param.name; });

TEST_F(HandleFrame, ValuesAreCutTo1023Characters)
{
    ASSERT_EQ(handle_one(client_frame(0x81, update("1234.lastprice", std::string(2000, '9')))), 1);
    EXPECT_EQ(value("lastprice"), std::string(1023, '9'));
}

TEST_F(HandleFrame, Utf8ValuesArriveInTheAnsiCodePage)
{
    struct Case {
        std::string sent, stored;
    } cases[] = {
        {"12.5", "12.5"},
        {"12,5 \xE2\x82\xAC", "12,5 \x80"},
        {"Z\xC3\xBCrich", "Z\xFCrich"},
        {"\xE2\x88\x92"
         "1",
         "?1"},                      // U+2212 has no place in 1252, and no best fit
        {"Z\xFCrich", "Z\xFCrich"},  // not UTF-8: kept as it came
        {"a\xC0\xAF", "a\xC0\xAF"},  // overlong form: not UTF-8
        {std::string(1021, 'a') + "\xC3\xA9", std::string(1021, 'a') + "\xE9"},
        // Cut after 1023 bytes inside the last character, which is dropped.
        {std::string(1022, 'a') + "\xC3\xA9", std::string(1022, 'a')},
        {std::string(1021, 'a') + "\xE2\x82\xAC", std::string(1021, 'a')},
        {std::string(1020, 'a') + "\xE2\x82\xAC", std::string(1020, 'a') + "\x80"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sent.size() > 40 ? c.sent.substr(c.sent.size() - 10) : c.sent);
        ASSERT_EQ(handle_one(client_frame(0x81, update("1234.bid", c.sent))), 1);
        EXPECT_EQ(value("bid"), c.stored);
    }
}
