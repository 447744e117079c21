#include "test_support.h"

#include <optional>

class DdeService : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        start_dde_side();
        conv = standin::connect("Quellvarden", "Quote");
        ASSERT_NE(conv, nullptr);
    }
    void TearDown() override
    {
        EXPECT_EQ(standin::lock_info(&registry_lock).depth, 0) << "lock still held";
        ProgramTest::TearDown();
    }
    HCONV conv = nullptr;
};

TEST_F(DdeService, FirstAdviseAddsFieldAndAsksTheFeedOnce)
{
    SOCKET feed = open_feed_client();
    ASSERT_TRUE(standin::advise(conv, "1234.lastprice", xltable_format));
    EXPECT_EQ(status_line(1), "Number of fields: 1");
    HCONV second_sheet = standin::connect("Quellvarden", "Quote");
    ASSERT_TRUE(standin::advise(second_sheet, "1234.lastprice", CF_TEXT));
    ASSERT_TRUE(standin::advise(conv, "1234.bid", CF_TEXT));

    EXPECT_EQ(standin::socket_state(feed).sent, request_frame("1234.lastprice") + request_frame("1234.bid"));
    EXPECT_EQ(find_field(find_instrument(1234), "lastprice")->advise_count, 2u);
    EXPECT_EQ(status_line(1), "Number of fields: 2");
}

TEST_F(DdeService, AdviseOnAnotherTopicIsRefused)
{
    HCONV other = standin::connect("Quellvarden", "Other");
    ASSERT_NE(other, nullptr) << "every conversation is accepted";
    EXPECT_FALSE(standin::advise(other, "1234.lastprice", xltable_format));
    EXPECT_EQ(registry.instrument_count, 0u);

    HCONV upper = standin::connect("Quellvarden", "QUOTE");
    EXPECT_TRUE(standin::advise(upper, "1234.lastprice", xltable_format));
}

TEST_F(DdeService, UnsoundItemsAreRefusedByAllThreeTransactions)
{
    SOCKET feed = open_feed_client();
    const std::string items[] = {
        "abc.price",
        "0.price",
        "1234",
        "1234.",
        "01234.lastprice",
        "+1234.lastprice",
        " 1234.lastprice",
        "18446744073709551616.x",
        "1234.a\"b",
        "1234.a\\b",
        "1234.a\x01",
        "1234.caf\xE9",
        "1234." + std::string(95, 'f'),
    };
    for (const std::string &item : items) {
        SCOPED_TRACE(item);
        EXPECT_FALSE(standin::advise(conv, item, xltable_format));
        EXPECT_EQ(standin::request(conv, item, xltable_format), std::nullopt);
        standin::call_callback(XTYP_ADVSTOP, CF_TEXT, conv, standin::hsz("Quote"), standin::hsz(item));
    }
    EXPECT_EQ(registry.instrument_count, 0u);
    EXPECT_EQ(registry.active_field_count, 0u);
    EXPECT_EQ(standin::socket_state(feed).sent, "");
    EXPECT_EQ(status_line(1), "");
}

TEST_F(DdeService, DataRequestRefusalsSayWhy)
{
    ASSERT_TRUE(standin::advise(conv, "1234.lastprice", CF_TEXT));
    struct Case {
        std::string item, line4;
    } cases[] = {
        {"abc.price", "Invalid insref 0"},
        {"1234", "Invalid insref 1234"},
        {"01234.lastprice", "Invalid field 1234 (lastprice)"},
        {"1234.", "Invalid field 1234 ()"},
        {"1234.a\"b", "Invalid field 1234 (a\"b)"},
        {"1234." + std::string(100, 'f'), "Invalid field 1234 (" + std::string(94, 'f') + ")"},
        {"99.price", "No instrument found for insref: 99"},
        {"1234.bid", "Field not found for insref: 1234"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.item);
        EXPECT_EQ(standin::request(conv, c.item, xltable_format), std::nullopt);
        EXPECT_EQ(status_line(4), c.line4);
    }
    EXPECT_EQ(registry.instruments[0].field_count, 1u) << "requests never add fields";
}

TEST_F(DdeService, FieldWithoutValueAnswersOneBlank)
{
    ASSERT_TRUE(standin::advise(conv, "1234.lastprice", xltable_format));
    EXPECT_EQ(standin::request(conv, "1234.lastprice", xltable_format), xltable_string(" "));
    EXPECT_EQ(standin::request(conv, "1234.lastprice", CF_TEXT), std::string(" \0", 2));
    EXPECT_EQ(status_line(3), "Dde last message: \"null\"");
}

TEST_F(DdeService, LongFieldNamesGetValuesAndStopCleanly)
{
    std::string item = "1234." + std::string(40, 'n');
    ASSERT_TRUE(standin::advise(conv, item, xltable_format));
    set_value(find_field(find_instrument(1234), std::string(40, 'n').c_str()), "7");
    EXPECT_EQ(standin::request(conv, item, xltable_format), xltable_number(7));
    EXPECT_EQ(status_line(3), "Dde last message: \"7\"");
    EXPECT_TRUE(standin::unadvise(conv, item, xltable_format));
    EXPECT_EQ(registry.active_field_count, 0u);
}

TEST_F(DdeService, PostAdviseReachesEveryLoopWithTheLockHeld)
{
    HCONV text_sheet = standin::connect("Quellvarden", "Quote");
    ASSERT_TRUE(standin::advise(conv, "1234.lastprice", xltable_format));
    ASSERT_TRUE(standin::advise(text_sheet, "1234.LASTPRICE", CF_TEXT));
    ASSERT_TRUE(standin::advise(conv, "1234.bid", CF_TEXT));

    EnterCriticalSection(&registry_lock);
    set_value(find_field(find_instrument(1234), "lastprice"), "12.5");
    HSZ item = DdeCreateStringHandleA(dde_instance, "1234.lastprice", CP_WINANSI);
    DdePostAdvise(dde_instance, topic_name, item);
    EXPECT_EQ(standin::lock_info(&registry_lock).max_depth, 2);
    LeaveCriticalSection(&registry_lock);

    const auto &deliveries = standin::records().deliveries;
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0].bytes, xltable_number(12.5));
    EXPECT_EQ(deliveries[1].bytes, std::string("12.5\0", 5));
    EXPECT_EQ(status_line(3), "Dde last message: \"12.5\"");
}

TEST_F(DdeService, StopOfUnknownItemChangesNothing)
{
    ASSERT_TRUE(standin::advise(conv, "1234.lastprice", CF_TEXT));
    standin::call_callback(XTYP_ADVSTOP, CF_TEXT, conv, standin::hsz("Quote"), standin::hsz("1234.bid"));
    standin::call_callback(XTYP_ADVSTOP, CF_TEXT, conv, standin::hsz("Quote"), standin::hsz("55.bid"));
    EXPECT_EQ(registry.active_field_count, 1u);
    EXPECT_EQ(status_line(4), "");
    // The topic of a stop is not compared.
    standin::call_callback(XTYP_ADVSTOP, CF_TEXT, conv, standin::hsz("Other"),
                           standin::hsz("1234.lastprice"));
    EXPECT_EQ(registry.active_field_count, 0u);
    EXPECT_EQ(status_line(4), "ADVSTOP:1234");
}

TEST_F(DdeService, AnswersOfTheOtherTransactions)
{
    HSZ topic = standin::hsz("Quote");
    HSZ item = standin::hsz("1234.lastprice");
    struct Case {
        UINT type;
        HSZ topic, item;
        HDDEDATA answer;
    } cases[] = {
        {XTYP_CONNECT, standin::hsz("Anything"), nullptr, reinterpret_cast<HDDEDATA>(1)},
        {XTYP_ADVDATA, topic, item, reinterpret_cast<HDDEDATA>(DDE_FACK)},
        {XTYP_CONNECT_CONFIRM, topic, nullptr, nullptr},
        {XTYP_WILDCONNECT, nullptr, nullptr, nullptr},
        {XTYP_POKE, topic, item, nullptr},
        {XTYP_EXECUTE, topic, nullptr, nullptr},
        {XTYP_ADVSTART, topic, nullptr, reinterpret_cast<HDDEDATA>(0)},
        {XTYP_ADVSTART, nullptr, item, reinterpret_cast<HDDEDATA>(0)},
        {XTYP_REQUEST, topic, nullptr, nullptr},
        {XTYP_REQUEST, nullptr, item, nullptr},
        {XTYP_ADVSTOP, topic, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(standin::call_callback(c.type, CF_TEXT, conv, c.topic, c.item), c.answer);
    }
    EXPECT_EQ(registry.instrument_count, 0u);
}

class DdeStart : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        InitializeCriticalSectionAndSpinCount(&registry_lock, 1024);
    }
};

// The start reports what the box says and leaves nothing registered; it
// never ends the process, which start-up does after its shutdown.
TEST_F(DdeStart, FatalFailuresReportTheirBoxAndLeaveNothing)
{
    standin::script().dde_initialize_result = DMLERR_SYS_ERROR;
    standin::script().dde_failure_error = 0x4009;
    DdeStartReport report;
    EXPECT_FALSE(dde_start(&report));
    EXPECT_TRUE(report.fatal);
    EXPECT_STREQ(report.text, "DDEInitialize error");
    EXPECT_STREQ(report.caption, "4009");
    EXPECT_EQ(dde_instance, 0u);

    fresh_process();
    standin::script().failing_strings = {"Quellvarden"};
    standin::script().dde_failure_error = 0x4009;
    EXPECT_FALSE(dde_start(&report));
    EXPECT_TRUE(report.fatal);
    EXPECT_STREQ(report.text, "SERVICE FAIL");
    EXPECT_STREQ(report.caption, "16393");
    EXPECT_EQ(dde_instance, 0u);
    EXPECT_EQ(standin::records().dde_uninitializations, 1);
    EXPECT_TRUE(standin::records().message_boxes.empty());
}

TEST_F(DdeStart, RefusedNameOnlyWarnsAndLeavesTheFeedClosed)
{
    standin::script().name_service_fails = true;
    DdeStartReport report;
    EXPECT_FALSE(dde_start(&report));
    EXPECT_FALSE(report.fatal);
    EXPECT_STREQ(report.text, "DDE Nameservice failed");
    EXPECT_STREQ(report.caption, "DDE Error");
    EXPECT_EQ(xltable_format, 0u);
}

// A change costs the DDE library nothing while no advise loop is open on the
// service (a sheet linked through RTD alone), and reaches every loop again
// once one is, until the last stops.
TEST_F(DdeService, ChangesPostNothingWhileNoLoopIsOpen)
{
    auto handles_made_for = [](const std::string &item) {
        size_t count = 0;
        for (const auto &handle : standin::records().string_handles)
            count += handle.text == item;
        return count;
    };
    EnterCriticalSection(&registry_lock);
    ASSERT_EQ(link_field(7, "bid", "7.bid", "RTD", nullptr), ADVISE_NEW_FIELD);  // as an RTD topic links
    LeaveCriticalSection(&registry_lock);
    field_changed("7.bid", FieldPlace{0, 0});
    EXPECT_EQ(handles_made_for("7.bid"), 0u);

    ASSERT_TRUE(standin::advise(conv, "7.ask", CF_TEXT));
    field_changed("7.bid", FieldPlace{0, 0});
    EXPECT_EQ(handles_made_for("7.bid"), 1u);

    ASSERT_TRUE(standin::unadvise(conv, "7.ask", CF_TEXT));
    field_changed("7.bid", FieldPlace{0, 0});
    EXPECT_EQ(handles_made_for("7.bid"), 1u);
    EXPECT_EQ(dde_advise_loops, 0u);
}
