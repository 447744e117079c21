#include "feed/feed_box.h"
#include "test_support.h"

#include "feed/replay.h"

#include <algorithm>
#include <functional>
#include <vector>

static const std::string RESPONSE =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

class FeedClientTest : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        ASSERT_TRUE(start_program());
        sheet = standin::connect("Quellvarden", "Quote");
        ASSERT_NE(sheet, nullptr);
    }
    void link(const std::string &item, UINT format = CF_TEXT)
    {
        ASSERT_TRUE(standin::advise(sheet, item, format)) << item;
    }
    static std::string &sent(SOCKET s) { return standin::socket_state(s).sent; }
    static bool closed(SOCKET s) { return !standin::socket_state(s).open; }
    static std::string update(const std::string &key, const std::string &value)
    {
        return client_frame(0x81, "{\"key\":\"" + key + "\",\"value\":\"" + value + "\"}");
    }
    static const char *value(uint64_t insref, const char *field)
    {
        return find_field(find_instrument(insref), field)->value;
    }
    HCONV sheet = nullptr;
};

TEST_F(FeedClientTest, OneClientAtATime)
{
    SOCKET first = connect_feed_client();
    EXPECT_EQ(feed_client.socket, first);
    EXPECT_EQ(feed_client.state, FEED_HANDSHAKING);
    EXPECT_EQ(status_line(0), "Status: Connected");
    const standin::SelectEventsRecord &select = standin::records().async_selects.back();
    EXPECT_EQ(select.s, first);
    EXPECT_EQ(select.hwnd, main_window);
    EXPECT_EQ(select.msg, 1027u);
    EXPECT_EQ(select.events, 35);

    // A second client, during the handshake and once open, is closed at once.
    SOCKET second = connect_feed_client();
    EXPECT_TRUE(closed(second));
    feed_client_sends(first, upgrade_request());
    SOCKET third = connect_feed_client();
    EXPECT_TRUE(closed(third));
    EXPECT_EQ(feed_client.socket, first);
    EXPECT_EQ(sent(first), RESPONSE);
    link("1234.lastprice");
    EXPECT_EQ(sent(first), RESPONSE + request_frame("1234.lastprice"));

    // After a disconnect the next client is taken.
    socket_event(first, FD_CLOSE);
    EXPECT_EQ(status_line(0), "Status: Disconnected");
    EXPECT_TRUE(closed(first));
    SOCKET fourth = connect_feed_client();
    EXPECT_EQ(feed_client.socket, fourth);
    EXPECT_FALSE(closed(fourth));
}

TEST_F(FeedClientTest, FailedAcceptChangesNothing)
{
    standin::failed_accept(WSAECONNRESET);
    socket_event(listen_socket, FD_ACCEPT);
    EXPECT_TRUE(standin::records().closed.empty());
    EXPECT_EQ(feed_client.state, FEED_NONE);
    EXPECT_EQ(status_line(0), "");
    EXPECT_EQ(feed_client.socket, connect_feed_client());
}

TEST_F(FeedClientTest, FailedAsyncSelectDropsTheClient)
{
    standin::script().async_select_error = WSAEINVAL;
    SOCKET client = connect_feed_client();
    EXPECT_TRUE(closed(client));
    EXPECT_EQ(feed_client.state, FEED_NONE);
    EXPECT_EQ(feed_client.socket, INVALID_SOCKET);
    EXPECT_EQ(status_line(0), "Status: Disconnected");
}

TEST_F(FeedClientTest, ListenerErrorIsShownOnceAndClosesOnlyTheListener)
{
    SOCKET client = handshaken_feed_client();
    SOCKET listener = listen_socket;
    standin::post_socket_event(listener, FD_ACCEPT, WSAENETDOWN);
    standin::post_socket_event(listener, FD_ACCEPT, WSAENETDOWN);
    standin::pump();

    const auto &boxes = standin::records().message_boxes;
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, main_window);
    EXPECT_EQ(boxes[0].text, "ERROR IN SERVER SOCKET");
    EXPECT_EQ(boxes[0].caption, "");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
    EXPECT_TRUE(closed(listener));
    EXPECT_FALSE(closed(client));
    EXPECT_EQ(feed_client.state, FEED_OPEN);
}

// A refused client's socket reports through the listener's message until it
// is closed; its error is not the listener's.
TEST_F(FeedClientTest, NotificationsForOtherSocketsAreIgnored)
{
    SOCKET client = handshaken_feed_client();
    SOCKET refused = connect_feed_client();
    PostMessageA(main_window, WM_LISTEN_SOCKET, refused, WSAMAKESELECTREPLY(FD_CLOSE, WSAECONNRESET));
    PostMessageA(main_window, WM_CLIENT_SOCKET, refused, WSAMAKESELECTREPLY(FD_CLOSE, 0));
    standin::pump();
    EXPECT_TRUE(standin::records().message_boxes.empty());
    EXPECT_FALSE(closed(listen_socket));
    EXPECT_EQ(feed_client.socket, client);
    EXPECT_EQ(feed_client.state, FEED_OPEN);
}

// The next client often gets the closed socket's handle value, so a late
// notification about the old connection must not reach the new one.
TEST_F(FeedClientTest, StaleNotificationsNeverEndTheNextClient)
{
    SOCKET old_client = handshaken_feed_client();
    standin::post_socket_event(old_client, FD_CLOSE);
    SOCKET next = standin::incoming_connection(old_client);
    (void)next;
    PostMessageA(main_window, WM_LISTEN_SOCKET, listen_socket, WSAMAKESELECTREPLY(FD_ACCEPT, 0));
    PostMessageA(main_window, WM_CLIENT_SOCKET, old_client, WSAMAKESELECTREPLY(FD_READ, WSAECONNRESET));
    standin::pump();
    ASSERT_EQ(feed_client.socket, old_client);  // the same value, a new connection
    EXPECT_EQ(feed_client.state, FEED_HANDSHAKING);
    EXPECT_FALSE(closed(old_client));
    EXPECT_EQ(status_line(0), "Status: Connected");
}

TEST_F(FeedClientTest, HandshakeReplaysTheRegistryInOrder)
{
    link("7.bid");
    link("5.ask");
    link("7.ask", xltable_format);
    link("5.last");
    link("5.ask");                                             // a second cell asks for nothing new
    ASSERT_TRUE(standin::unadvise(sheet, "5.last", CF_TEXT));  // unwatched fields are asked for too

    SOCKET client = connect_feed_client();
    // Bytes behind the head in the same read are dropped.
    feed_client_sends(client,
                      upgrade_request() + client_frame(0x81, "{\"key\":\"7.bid\",\"value\":\"1\"}", false));
    EXPECT_EQ(feed_client.state, FEED_OPEN);
    EXPECT_EQ(feed_client.receive_length, 0u);
    EXPECT_EQ(sent(client), RESPONSE + request_frame("7.bid") + request_frame("7.ask") +
                                request_frame("5.ask") + request_frame("5.last"));
    EXPECT_EQ(value(7, "bid"), nullptr);
}

TEST_F(FeedClientTest, EmptyRegistryGetsOnlyTheResponse)
{
    SOCKET client = connect_feed_client();
    feed_client_sends(client, upgrade_request());
    EXPECT_EQ(sent(client), RESPONSE);
}

TEST_F(FeedClientTest, HeadInSeveralReadsIsWaitedFor)
{
    SOCKET client = connect_feed_client();
    std::string head = upgrade_request();
    feed_client_sends(client, head.substr(0, 10));
    feed_client_sends(client, head.substr(10, head.size() - 12));
    EXPECT_EQ(feed_client.state, FEED_HANDSHAKING);
    EXPECT_EQ(sent(client), "");
    feed_client_sends(client, head.substr(head.size() - 2));
    EXPECT_EQ(feed_client.state, FEED_OPEN);
    EXPECT_EQ(sent(client), RESPONSE);
    EXPECT_TRUE(standin::records().message_boxes.empty());
}

// A refused head's client is closed and status line 4 says why. Only a
// malformed head of a local program raises a box, at most once a minute: a
// web page can send any head, as often as it likes.
static const std::string BAD_HEAD = "GET / HTTP/1.1\r\nX: \r?\r\n\r\n";

struct BadHeadCase {
    const char *name;
    std::string head;
    ULONGLONG apart_ms;  // between two such heads; 0: only one
    size_t boxes;
};

class BadHeads : public FeedClientTest, public testing::WithParamInterface<BadHeadCase> {};

TEST_P(BadHeads, AreClosedAndRarelyRaiseABox)
{
    const BadHeadCase &c = GetParam();
    for (int attempt = 0; attempt < (c.apart_ms ? 2 : 1); ++attempt) {
        standin::script().tick_count += c.apart_ms;
        SOCKET client = connect_feed_client();
        feed_client_sends(client, c.head);
        EXPECT_TRUE(closed(client));
        EXPECT_EQ(feed_client.state, FEED_NONE);
        EXPECT_EQ(sent(client), "");
        EXPECT_EQ(status_line(4).rfind("Handshake refused: ", 0), 0u) << status_line(4);
    }
    const auto &boxes = standin::records().message_boxes;
    ASSERT_EQ(boxes.size(), c.boxes);
    for (const standin::MessageBoxRecord &box : boxes) {
        EXPECT_EQ(box.text, "INVALD HEADER");
        EXPECT_EQ(box.caption, "");
        EXPECT_EQ(box.owner, nullptr);
    }
    EXPECT_FALSE(standin::registry_value("Software\\Quellvarden\\Vantrel\\Origins", "https://page.example"));
}

INSTANTIATE_TEST_SUITE_P(
    Clients, BadHeads,
    testing::Values(BadHeadCase{"FullBufferWithoutBlankLine", std::string(FEED_BUFFER_SIZE, 'x'), 0, 0},
                    BadHeadCase{"NotAGetRequest", "POST / HTTP/1.1\r\n\r\nSec-WebSocket-Key: abc\r\n\r\n", 0,
                                0},
                    BadHeadCase{"NoKey", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", 0, 0},
                    BadHeadCase{"LoneCarriageReturn", BAD_HEAD, 0, 1},
                    BadHeadCase{"LoneCarriageReturnFromAWebPage",
                                "GET / HTTP/1.1\r\nOrigin: https://page.example\r\nX: \r?\r\n\r\n", 0, 0},
                    BadHeadCase{"TwoWithinAMinute", BAD_HEAD, HEADER_BOX_INTERVAL_MS - 1, 1},
                    BadHeadCase{"TwoAMinuteApart", BAD_HEAD, HEADER_BOX_INTERVAL_MS, 2}),
    [](const testing::TestParamInfo<BadHeadCase> &info) { return info.param.name; });

TEST_F(FeedClientTest, FramesSplitAcrossReadsWaitAtTheFront)
{
    link("1234.lastprice");
    link("1234.bid");
    std::string first = update("1234.lastprice", "12.5");
    std::string second = update("1234.bid", "12.4");
    std::string both = first + second;
    for (size_t cut = 1; cut < both.size(); ++cut) {
        SCOPED_TRACE(cut);
        SOCKET client = handshaken_feed_client();
        set_value(find_field(find_instrument(1234), "lastprice"), nullptr);
        set_value(find_field(find_instrument(1234), "bid"), nullptr);
        feed_client_sends(client, both.substr(0, cut));
        bool first_done = cut >= first.size();
        EXPECT_EQ(value(1234, "lastprice") != nullptr, first_done);
        EXPECT_EQ(feed_client.receive_length, first_done ? cut - first.size() : cut);
        feed_client_sends(client, both.substr(cut));
        EXPECT_STREQ(value(1234, "lastprice"), "12.5");
        EXPECT_STREQ(value(1234, "bid"), "12.4");
        EXPECT_EQ(feed_client.receive_length, 0u);
        socket_event(client, FD_CLOSE);
    }
}

static std::string close_frame_with(unsigned code)
{
    return std::string("\x88\x02", 2) + static_cast<char>(code >> 8) + static_cast<char>(code & 0xFF);
}

// How a closing handshake ends: by the client's own close, or, when the
// client never closes or never even reads the close frame, by the limit.
struct ClosingCase {
    const char *name;
    bool client_reads;
    bool client_closes;
};

class Closing : public FeedClientTest, public testing::WithParamInterface<ClosingCase> {};

// The client's close frame is answered behind what was queued before it;
// then the program's side of the stream ends. What the client sends
// meanwhile is dropped.
TEST_P(Closing, AnsweredBehindTheQueueThenEnded)
{
    const ClosingCase &c = GetParam();
    link("1234.lastprice");
    SOCKET client = handshaken_feed_client();
    standin::socket_state(client).send_room = 10;
    link("1234.bid");  // a request waits, partly sent
    feed_client_sends(client, update("1234.lastprice", "12.5") + client_frame(0x88, "\x03\xE8") +
                                  update("1234.lastprice", "99"));
    EXPECT_STREQ(value(1234, "lastprice"), "12.5");
    EXPECT_EQ(feed_client.state, FEED_CLOSING);
    EXPECT_TRUE(standin::timer_running(main_window, FEED_TIMER_ID));
    feed_client_sends(client, update("1234.lastprice", "7"));
    EXPECT_STREQ(value(1234, "lastprice"), "12.5");
    EXPECT_FALSE(standin::socket_state(client).write_shut);

    if (c.client_reads) {
        standin::socket_state(client).send_room = -1;
        socket_event(client, FD_WRITE);
        EXPECT_EQ(sent(client), request_frame("1234.bid") + close_frame_with(1000));
        EXPECT_TRUE(standin::socket_state(client).write_shut);
    }
    EXPECT_FALSE(closed(client));
    EXPECT_EQ(status_line(0), "Status: Connected");
    if (c.client_closes) {
        socket_event(client, FD_CLOSE);
    } else {
        ASSERT_TRUE(standin::timer_elapses(main_window, FEED_TIMER_ID));
        standin::pump();
    }
    EXPECT_TRUE(closed(client));
    EXPECT_EQ(feed_client.state, FEED_NONE);
    EXPECT_EQ(status_line(0), "Status: Disconnected");
    EXPECT_FALSE(standin::timer_running(main_window, FEED_TIMER_ID));
    EXPECT_EQ(feed_client.socket, connect_feed_client());
}

INSTANTIATE_TEST_SUITE_P(Ends, Closing,
                         testing::Values(ClosingCase{"ClientCloses", true, true},
                                         ClosingCase{"ClientNeverCloses", true, false},
                                         ClosingCase{"ClientNeverReads", false, false}),
                         [](const testing::TestParamInfo<ClosingCase> &info) { return info.param.name; });

struct CloseCodeCase {
    const char *name;
    std::string frame;  // what the client sends
    unsigned answer;    // the code of the program's close frame
};

static std::string close_with(const std::string &payload)
{
    return client_frame(0x88, payload);
}

static const CloseCodeCase CLOSE_CODE_CASES[] = {
    {"NoCode", close_with(""), 1000},
    {"OneByte", close_with("\x03"), 1000},
    {"Normal", close_with("\x03\xE8"), 1000},
    {"GoingAway", close_with("\x03\xE9"), 1001},
    {"ProtocolError", close_with("\x03\xEA"), 1002},
    {"Unsupported", close_with("\x03\xEB"), 1003},
    {"Reserved1004", close_with("\x03\xEC"), 1000},
    {"NoStatus1005", close_with("\x03\xED"), 1000},
    {"Abnormal1006", close_with("\x03\xEE"), 1000},
    {"InvalidData", close_with("\x03\xEF"), 1007},
    {"InternalError", close_with("\x03\xF3"), 1011},
    {"Unassigned1012", close_with("\x03\xF4"), 1000},
    {"Tls1015", close_with("\x03\xF7"), 1000},
    {"Below3000", close_with("\x0B\xB7"), 1000},
    {"Registered3000", close_with("\x0B\xB8"), 3000},
    {"Private4999WithReason",
     close_with("\x13\x87"
                "bye"),
     4999},
    {"Above4999", close_with("\x13\x88"), 1000},
    {"ReservedControlOpcode", client_frame(0x8C, ""), 1002},
    {"MessageOverTheLimit", std::string("\x81\xFF\x00\x00\x00\x00\x01\x00\x00\x01mask", 14), 1009},
};

class CloseCode : public FeedClientTest, public testing::WithParamInterface<CloseCodeCase> {};

TEST_P(CloseCode, Answered)
{
    SOCKET client = handshaken_feed_client();
    feed_client_sends(client, GetParam().frame);
    EXPECT_EQ(sent(client), close_frame_with(GetParam().answer));
    EXPECT_EQ(feed_client.state, FEED_CLOSING);
}

INSTANTIATE_TEST_SUITE_P(Frames, CloseCode, testing::ValuesIn(CLOSE_CODE_CASES),
                         [](const testing::TestParamInfo<CloseCodeCase> &info) { return info.param.name; });

// No client holds the one feed slot for more than 10 s without its 101
// response queued, whether it is silent, slow or raised a message box.
struct LimitCase {
    const char *name;
    std::string head;  // sent after the accept
    bool open;         // the 101 response was queued: the limit no longer applies
};

class HandshakeLimit : public FeedClientTest, public testing::WithParamInterface<LimitCase> {};

TEST_P(HandshakeLimit, ClosesOnlyAnUnfinishedHandshake)
{
    const LimitCase &c = GetParam();
    const auto &timers = standin::records().timers;
    const size_t before = timers.size();
    SOCKET client = connect_feed_client();
    // The status lines' frame timer may be set too.
    auto timer = std::find_if(timers.begin() + static_cast<std::ptrdiff_t>(before), timers.end(),
                              [](const standin::Records::Timer &t) { return t.id == FEED_TIMER_ID; });
    ASSERT_NE(timer, timers.end());
    EXPECT_EQ(timer->period, 10000u);
    if (!c.head.empty())
        feed_client_sends(client, c.head);
    EXPECT_EQ(standin::timer_elapses(main_window, FEED_TIMER_ID), !c.open);
    standin::pump();
    EXPECT_EQ(closed(client), !c.open);
    EXPECT_EQ(feed_client.state, c.open ? FEED_OPEN : FEED_NONE);
}

INSTANTIATE_TEST_SUITE_P(Clients, HandshakeLimit,
                         testing::Values(LimitCase{"Silent", "", false},
                                         LimitCase{"HeadInPart", "GET / HTTP/1.1\r\nHost: x\r\n", false},
                                         LimitCase{"HandshakeDone", upgrade_request(), true}),
                         [](const testing::TestParamInfo<LimitCase> &info) { return info.param.name; });

// A faulty head's client is closed before its box opens, and while the box
// is open the feed is served as usual: the next client is read, answered and
// asked for its fields. No second feed box opens meanwhile.
struct BoxCase {
    const char *name;
    std::string next_head;  // sent by the next client while the box is open
    bool served;            // it gets its 101 and its requests
    const char *line4;      // how status line 4 begins once the box is closed
};

class WhileAHandshakeBoxIsOpen : public FeedClientTest, public testing::WithParamInterface<BoxCase> {};

TEST_P(WhileAHandshakeBoxIsOpen, TheFeedIsServed)
{
    const BoxCase &c = GetParam();
    link("1234.lastprice");
    SOCKET bad = connect_feed_client();
    SOCKET next = INVALID_SOCKET;
    size_t boxes_inside = 0;
    standin::script().message_box_hook = [&] {
        if (next != INVALID_SOCKET)
            return;  // a second box: counted below
        EXPECT_TRUE(closed(bad));
        EXPECT_EQ(feed_client.state, FEED_NONE);
        next = connect_feed_client();
        feed_client_sends(next, c.next_head);
        boxes_inside = standin::records().message_boxes.size();
        EXPECT_EQ(sent(next), c.served ? RESPONSE + request_frame("1234.lastprice") : "");
        EXPECT_EQ(feed_client.state, c.served ? FEED_OPEN : FEED_NONE);
    };
    feed_client_sends(bad, BAD_HEAD);
    ASSERT_NE(next, INVALID_SOCKET);
    EXPECT_EQ(standin::records().message_boxes.size(), 1u);
    EXPECT_EQ(boxes_inside, 1u);
    EXPECT_EQ(standin::records().message_boxes[0].text, "INVALD HEADER");
    EXPECT_EQ(status_line(4).rfind(c.line4, 0), 0u) << status_line(4);
}

INSTANTIATE_TEST_SUITE_P(
    Clients, WhileAHandshakeBoxIsOpen,
    testing::Values(BoxCase{"NextClientIsServed", upgrade_request(), true, "Handshake refused: "},
                    BoxCase{"SecondBadHeadGetsNoBox", BAD_HEAD, false, "Handshake refused: "},
                    BoxCase{"PageNeedingConsentIsRefused",
                            "GET / HTTP/1.1\r\nOrigin: https://page.example\r\n"
                            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n",
                            false, "Web page not allowed: https://page.example"}),
    [](const testing::TestParamInfo<BoxCase> &info) { return info.param.name; });

TEST_F(FeedClientTest, UpdatesSentJustBeforeClosingAreApplied)
{
    link("1234.lastprice");
    SOCKET client = handshaken_feed_client();
    standin::socket_state(client).incoming = update("1234.lastprice", "12.5");
    standin::socket_state(client).peer_closed = true;
    socket_event(client, FD_CLOSE);
    EXPECT_STREQ(value(1234, "lastprice"), "12.5");
    EXPECT_TRUE(closed(client));
}

TEST_F(FeedClientTest, ReadErrorsEndTheConnectionButAnEmptyReadDoesNot)
{
    SOCKET client = handshaken_feed_client();
    socket_event(client, FD_READ);  // nothing there: WSAEWOULDBLOCK
    standin::socket_state(client).peer_closed = true;
    socket_event(client, FD_READ);  // 0 bytes
    EXPECT_EQ(feed_client.state, FEED_OPEN);
    standin::socket_state(client).recv_error = WSAECONNRESET;
    socket_event(client, FD_READ);
    EXPECT_TRUE(closed(client));

    client = handshaken_feed_client();
    socket_event(client, FD_WRITE, WSAECONNABORTED);
    EXPECT_TRUE(closed(client));
}

TEST_F(FeedClientTest, PartialSendsResumeOnWriteWithoutRepeatingAByte)
{
    link("1234.lastprice");
    SOCKET client = connect_feed_client();
    standin::socket_state(client).send_room = 50;
    feed_client_sends(client, upgrade_request());
    EXPECT_EQ(feed_client.state, FEED_OPEN);
    EXPECT_EQ(sent(client), RESPONSE.substr(0, 50));
    link("1234.bid");

    socket_event(client, FD_WRITE);  // still full
    EXPECT_EQ(feed_client.state, FEED_OPEN);
    standin::socket_state(client).send_room = 40;
    socket_event(client, FD_WRITE);
    standin::socket_state(client).send_room = -1;
    socket_event(client, FD_WRITE);
    EXPECT_EQ(sent(client), RESPONSE + request_frame("1234.lastprice") + request_frame("1234.bid"));
    EXPECT_EQ(feed_client.send_length, 0u);
}

// A sheet of 10,000 fields and a feed client that reads slowly: every
// request arrives once, in order, and so does one linked meanwhile.
TEST_F(FeedClientTest, LargeReplayToASlowReaderArrivesWhole)
{
    std::vector<std::string> items;
    for (int instrument = 1; instrument <= 100; ++instrument)
        for (int field = 0; field < 100; ++field)
            items.push_back(std::to_string(instrument) + ".f" + std::to_string(field));
    for (const std::string &item : items) {
        link(item);
        ASSERT_TRUE(standin::unadvise(sheet, item, CF_TEXT));
    }

    // A first client that leaves in the middle takes its queue with it.
    SOCKET quitter = connect_feed_client();
    standin::socket_state(quitter).send_room = 3000;
    feed_client_sends(quitter, upgrade_request());
    ASSERT_GT(feed_client.overflow_length, 0u);
    socket_event(quitter, FD_CLOSE);
    EXPECT_EQ(feed_client.send_length, 0u);
    EXPECT_EQ(feed_client.overflow, nullptr);

    SOCKET client = connect_feed_client();
    standin::socket_state(client).send_room = 1000;
    feed_client_sends(client, upgrade_request());
    link("101.late");
    items.push_back("101.late");
    for (int writes = 0; sent(client).size() < 400000 && writes < 1000; ++writes) {
        standin::socket_state(client).send_room = 1000;
        socket_event(client, FD_WRITE);
    }
    std::string expected = RESPONSE;
    for (const std::string &item : items)
        expected += request_frame(item);
    EXPECT_EQ(sent(client).size(), expected.size());
    EXPECT_TRUE(sent(client) == expected) << "requests out of order, missing or repeated";
    EXPECT_EQ(feed_client.state, FEED_OPEN);
}

// A replay of 5,000 fields goes out a slice per window message, each
// message at most REPLAY_SLICE requests, and whatever happens between two
// slices is served at once: every field is still asked for exactly once,
// in registry order, and a connection that ends takes its replay with it.
enum MidReplayEvent { LINKS_ADDED, UPDATE_ARRIVES, SECOND_CLIENT, FEED_LEAVES };

struct MidReplayCase {
    const char *name;
    MidReplayEvent event;
};

class MidReplay : public FeedClientTest, public testing::WithParamInterface<MidReplayCase> {
protected:
    // Dispatches the posted messages one by one, as the message loop does;
    // after the first slice, `between` runs once.
    void run_loop(SOCKET client, const std::function<void()> &between)
    {
        bool ran = false;
        size_t before = sent(client).size();
        while (!standin::queue().empty()) {
            MSG message = standin::queue().front();
            standin::queue().pop_front();
            DispatchMessageA(&message);
            size_t frames = count_requests(sent(client).substr(std::min(before, sent(client).size())));
            EXPECT_LE(frames, REPLAY_SLICE + 1);
            before = sent(client).size();
            if (!ran && frames > 0) {
                ran = true;
                between();
            }
        }
    }
    static size_t count_requests(const std::string &bytes)
    {
        size_t count = 0;
        for (size_t at = bytes.find("\"request\""); at != std::string::npos;
             at = bytes.find("\"request\"", at + 1))
            ++count;
        return count;
    }
};

TEST_P(MidReplay, EveryFieldAskedForOnceInOrder)
{
    const MidReplayCase &c = GetParam();
    std::vector<std::string> items;
    for (int instrument = 1; instrument <= 50; ++instrument) {
        for (int field = 0; field < 100; ++field) {
            items.push_back(std::to_string(instrument) + ".f" + std::to_string(field));
            link(items.back());
        }
    }
    SOCKET client = connect_feed_client();
    standin::socket_state(client).incoming = upgrade_request();
    standin::post_socket_event(client, FD_READ);

    SOCKET second = INVALID_SOCKET;
    run_loop(client, [&] {
        switch (c.event) {
        case LINKS_ADDED:
            link("3.behind");  // the replay has passed instrument 3: asked for at once
            link("50.ahead");  // asked for by the replay, behind 50.f99
            link("7777.new");  // a new instrument: asked for by the replay, last
            break;
        case UPDATE_ARRIVES:
            feed_client_sends(client, update("1.f0", "12.5"));
            EXPECT_STREQ(value(1, "f0"), "12.5");
            break;
        case SECOND_CLIENT:
            second = connect_feed_client();
            EXPECT_TRUE(closed(second));
            break;
        case FEED_LEAVES:
            standin::post_socket_event(client, FD_CLOSE);
            break;
        }
    });

    std::string expected = RESPONSE;
    for (const std::string &item : items) {
        if (c.event == LINKS_ADDED && item == "21.f0")
            expected += request_frame("3.behind");  // linked after the first slice, 2,000 requests
        expected += request_frame(item);
        if (c.event == LINKS_ADDED && item == "50.f99")
            expected += request_frame("50.ahead");
    }
    if (c.event == LINKS_ADDED)
        expected += request_frame("7777.new");
    if (c.event == FEED_LEAVES) {
        EXPECT_TRUE(closed(client));
        EXPECT_LT(sent(client).size(), expected.size());
        EXPECT_EQ(expected.compare(0, sent(client).size(), sent(client)), 0);
        // The next client is asked for everything, from the start.
        SOCKET next = handshaken_feed_client();
        (void)next;
        EXPECT_EQ(count_requests(sent(next)), 0u) << "handshaken_feed_client forgets what was sent";
        EXPECT_FALSE(feed_replay.active);
        return;
    }
    EXPECT_EQ(sent(client).size(), expected.size());
    EXPECT_TRUE(sent(client) == expected) << "requests out of order, missing or repeated";
    EXPECT_EQ(feed_client.state, FEED_OPEN);
    EXPECT_FALSE(feed_replay.active);
}

INSTANTIATE_TEST_SUITE_P(Events, MidReplay,
                         testing::Values(MidReplayCase{"LinksAdded", LINKS_ADDED},
                                         MidReplayCase{"UpdateArrives", UPDATE_ARRIVES},
                                         MidReplayCase{"SecondClientConnects", SECOND_CLIENT},
                                         MidReplayCase{"FeedLeaves", FEED_LEAVES}),
                         [](const testing::TestParamInfo<MidReplayCase> &info) { return info.param.name; });

// Pongs pile up for a client that pings and never reads; past 64 MiB
// waiting, it is dropped rather than allowed to take all memory.
TEST_F(FeedClientTest, ClientThatNeverReadsIsDroppedAt64MiBWaiting)
{
    SOCKET client = handshaken_feed_client();
    standin::socket_state(client).send_room = 0;
    std::string pings;
    for (int i = 0; i < 80; ++i)
        pings += client_frame(0x89, std::string(125, 'p'));  // the longest a control frame may be
    const uint64_t pong_size = 2 + 125;
    uint64_t reads = 0;
    while (feed_client.socket == client && reads < 10000) {
        feed_client_sends(client, pings);
        ++reads;
    }
    EXPECT_TRUE(closed(client));
    // Dropped in the read whose pongs pass 64 MiB waiting behind the send buffer.
    EXPECT_GE(reads * 80 * pong_size, (64ull << 20) + FEED_BUFFER_SIZE);
    EXPECT_LT((reads - 1) * 80 * pong_size, (64ull << 20) + FEED_BUFFER_SIZE);
    EXPECT_EQ(feed_client.overflow, nullptr);
}

TEST_F(FeedClientTest, NotificationsAfterShutdownTouchNothing)
{
    link("1234.lastprice");
    SOCKET client = handshaken_feed_client();
    standin::LockInfo before = standin::lock_info(&registry_lock);
    shutdown_app();
    feed_client_sends(client, update("1234.lastprice", "12.5"));
    socket_event(client, FD_CLOSE);
    EXPECT_EQ(value(1234, "lastprice"), nullptr);
    standin::LockInfo after = standin::lock_info(&registry_lock);
    EXPECT_EQ(after.depth, before.depth);
    EXPECT_EQ(after.max_depth, before.max_depth);
    EXPECT_FALSE(closed(client));
}

// A cell linked, the feed asked, its answer in the cell.
TEST_F(FeedClientTest, ValueTravelsFromFeedToCell)
{
    SOCKET client = handshaken_feed_client();
    link("1234.lastprice", xltable_format);
    EXPECT_EQ(sent(client), request_frame("1234.lastprice"));
    feed_client_sends(client, update("1234.lastprice", "12.5"));
    ASSERT_EQ(standin::records().deliveries.size(), 1u);
    EXPECT_EQ(standin::records().deliveries[0].item, "1234.lastprice");
    EXPECT_EQ(standin::records().deliveries[0].bytes, xltable_number(12.5));
    EXPECT_EQ(standin::request(sheet, "1234.lastprice", xltable_format), xltable_number(12.5));

    feed_client_sends(client, client_frame(0x89, "hb"));
    EXPECT_EQ(sent(client), request_frame("1234.lastprice") + std::string("\x8A\x02hb", 4));
    feed_client_sends(client, update("1234.lastprice", "null"));
    EXPECT_EQ(standin::records().deliveries.back().bytes, xltable_string(" "));
}
