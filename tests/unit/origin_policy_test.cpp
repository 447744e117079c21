#include "test_support.h"

#include "feed/handshake.h"
#include "feed/origin_policy.h"

#include <cstring>

static const char ORIGINS_KEY[] = "Software\\Quellvarden\\Vantrel\\Origins";

// ---------------------------------------------------------------------------
// Loopback origins

struct LoopbackCase {
    const char *name;
    const char *origin;
    bool loopback;
};

static const LoopbackCase LOOPBACK_CASES[] = {
    {"Ipv4WithPort", "http://127.0.0.1:8902", true},
    {"Ipv4AnywhereIn127", "https://127.255.3.4", true},
    {"Localhost", "http://localhost", true},
    {"LocalhostInCapitals", "http://LOCALHOST:8000", true},
    {"Ipv6", "http://[::1]:3000", true},
    {"NullOrigin", "null", false},
    {"OtherIpv4", "http://128.0.0.1", false},
    {"Ipv4PartPast255", "http://127.0.0.256", false},
    {"Ipv4ThreeParts", "http://127.0.0", false},
    {"LoopbackAsSubdomain", "http://127.0.0.1.evil.example", false},
    {"LocalhostAsSubdomain", "http://localhost.evil.example", false},
    {"SubdomainOfLocalhost", "http://feed.localhost", false},
    {"LoopbackInPath", "http://evil.example/127.0.0.1", false},
    {"UserInfo", "http://user@127.0.0.1", false},
    {"NoScheme", "://127.0.0.1", false},
    {"EmptyPort", "http://127.0.0.1:", false},
    {"PortNotANumber", "http://127.0.0.1:80x", false},
    {"UnclosedIpv6", "http://[::1", false},
    {"OtherIpv6", "http://[::2]", false},
    {"EmptyHost", "file://", false},
};

class LoopbackOrigin : public testing::TestWithParam<LoopbackCase> {};

TEST_P(LoopbackOrigin, OnlyThisMachine)
{
    EXPECT_EQ(is_loopback_origin(GetParam().origin), GetParam().loopback);
}

INSTANTIATE_TEST_SUITE_P(Origins, LoopbackOrigin, testing::ValuesIn(LOOPBACK_CASES),
                         [](const testing::TestParamInfo<LoopbackCase> &info) { return info.param.name; });

// ---------------------------------------------------------------------------
// The Origin header of a request head

struct HeaderCase {
    const char *name;
    std::string headers;  // between the key line and the blank line
    bool present, usable;
    std::string text;
};

static const HeaderCase HEADER_CASES[] = {
    {"None", "", false, false, ""},
    {"Plain", "Origin: https://feed.example\r\n", true, true, "https://feed.example"},
    {"NameInSmallLetters", "origin: https://feed.example\r\n", true, true, "https://feed.example"},
    {"BlanksAround", "Origin: \t null \t\r\n", true, true, "null"},
    {"Longest", "Origin: http://" + std::string(248, 'a') + "\r\n", true, true,
     "http://" + std::string(248, 'a')},
    {"TooLong", "Origin: http://" + std::string(249, 'a') + "\r\n", true, false,
     "http://" + std::string(248, 'a')},
    {"ControlCharacter",
     "Origin: http://a\x01"
     "b\r\n",
     true, false, "http://a?b"},
    {"TabInside", "Origin: http://a\tb\r\n", true, false, "http://a?b"},
    {"Delete", "Origin: http://a\x7F\r\n", true, false, "http://a?"},
    {"Empty", "Origin:\r\n", true, false, ""},
    {"Twice", "Origin: http://127.0.0.1\r\nOrigin: https://evil.example\r\n", true, false,
     "https://evil.example"},
    {"OtherHeaderEndingInOrigin", "X-Origin: https://feed.example\r\n", false, false, ""},
};

class OriginHeader : public ProgramTest, public testing::WithParamInterface<HeaderCase> {};

TEST_P(OriginHeader, Read)
{
    const HeaderCase &c = GetParam();
    std::string head =
        "GET / HTTP/1.1\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" + c.headers + "\r\n";
    std::memcpy(feed_client.receive_buffer, head.data(), head.size());
    feed_client.receive_length = head.size();
    feed_client.receive_buffer[head.size()] = '\0';
    RequestOrigin origin;
    ASSERT_EQ(perform_handshake(feed_client, &origin), HANDSHAKE_DONE);
    EXPECT_EQ(origin.present, c.present);
    EXPECT_EQ(origin.usable, c.usable);
    EXPECT_EQ(std::string(origin.text), c.text);
}

INSTANTIATE_TEST_SUITE_P(Heads, OriginHeader, testing::ValuesIn(HEADER_CASES),
                         [](const testing::TestParamInfo<HeaderCase> &info) { return info.param.name; });

// An Origin line sent behind the head is not the head's.
TEST_F(ProgramTest, OriginBehindTheHeadDoesNotCount)
{
    std::string head = upgrade_request() + "Origin: https://evil.example\r\n\r\n";
    std::memcpy(feed_client.receive_buffer, head.data(), head.size());
    feed_client.receive_length = head.size();
    RequestOrigin origin;
    ASSERT_EQ(perform_handshake(feed_client, &origin), HANDSHAKE_DONE);
    EXPECT_FALSE(origin.present);
}

// ---------------------------------------------------------------------------
// Consent, end to end through the connection

static std::string head_from(const std::string &origin)
{
    std::string head = upgrade_request();
    if (origin.empty())
        return head;
    return head.substr(0, head.size() - 2) + "Origin: " + origin + "\r\n\r\n";
}

class Consent : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        start_program();
        HCONV sheet = standin::connect("Quellvarden", "Quote");
        ASSERT_TRUE(standin::advise(sheet, "1234.lastprice", CF_TEXT));
    }
    // A client with this origin connects and sends its head: whether it got
    // its 101 response and the replayed request.
    static bool attempt(const std::string &origin)
    {
        SOCKET client = connect_feed_client();
        feed_client_sends(client, head_from(origin));
        bool open = feed_client.socket == client && feed_client.state == FEED_OPEN;
        const std::string &sent = standin::socket_state(client).sent;
        if (open) {
            EXPECT_NE(sent.find(request_frame("1234.lastprice")), std::string::npos);
            socket_event(client, FD_CLOSE);
        } else {
            EXPECT_EQ(sent, "") << "a refused page was answered";
            EXPECT_FALSE(standin::socket_state(client).open);
        }
        return open;
    }
    static size_t boxes() { return standin::records().message_boxes.size(); }
    static std::optional<DWORD> remembered(const std::string &origin)
    {
        std::optional<standin::RegistryValue> value = standin::registry_value(ORIGINS_KEY, origin);
        if (!value || value->type != REG_DWORD || value->bytes.size() != 4)
            return std::nullopt;
        DWORD data;
        std::memcpy(&data, value->bytes.data(), 4);
        return data;
    }
    static void later(ULONGLONG ms) { standin::script().tick_count += ms; }
};

struct ConsentCase {
    const char *name;
    std::string origin;
    int stored;         // -1: nothing in the registry beforehand
    int answer;         // what the user does with the box
    bool asked;         // the box was shown
    int remembered;     // -1: nothing written
    bool second_opens;  // the page's next attempt, a minute later, connects
    bool asked_again;   // and the box is shown again
};

static const ConsentCase CONSENT_CASES[] = {
    {"NoOrigin", "", -1, IDNO, false, -1, true, false},
    {"LoopbackOrigin", "http://127.0.0.1:5500", -1, IDNO, false, -1, true, false},
    {"AllowedBefore", "https://feed.example", 1, IDNO, false, 1, true, false},
    {"RefusedBefore", "https://feed.example", 0, IDYES, false, 0, false, false},
    {"StoredValueNeitherZeroNorOne", "https://feed.example", 7, IDNO, true, 0, false, false},
    {"UnknownAllowed", "https://feed.example", -1, IDYES, true, 1, true, false},
    {"UnknownRefused", "https://feed.example", -1, IDNO, true, 0, false, false},
    {"BoxEndedOtherwise", "https://feed.example", -1, 0, true, -1, false, true},
    // Every page without an origin of its own sends "null": never asked.
    {"NullRefusedWithoutABox", "null", -1, IDYES, false, -1, false, false},
    {"ControlCharacters",
     "https://a\x01"
     "b",
     -1, IDYES, false, -1, false, false},
    {"Longer255Bytes", "https://" + std::string(250, 'a'), -1, IDYES, false, -1, false, false},
};

class ConsentTable : public Consent, public testing::WithParamInterface<ConsentCase> {};

TEST_P(ConsentTable, FirstAndNextAttempt)
{
    const ConsentCase &c = GetParam();
    if (c.stored >= 0)
        standin::set_registry_value(ORIGINS_KEY, c.origin, REG_DWORD, standin::dword_bytes(c.stored));
    standin::script().message_box_answer = c.answer;
    bool first_opens = attempt(c.origin);
    EXPECT_EQ(first_opens, !c.asked && c.second_opens);
    ASSERT_EQ(boxes(), c.asked ? 1u : 0u);
    if (c.asked) {
        const standin::MessageBoxRecord &box = standin::records().message_boxes[0];
        EXPECT_EQ(box.owner, nullptr);
        EXPECT_EQ(box.caption, "Quellvarden Vantrel");
        EXPECT_NE(box.text.find(c.origin), std::string::npos) << box.text;
        EXPECT_EQ(box.type, static_cast<UINT>(MB_YESNO | MB_DEFBUTTON2 | MB_ICONWARNING | MB_TOPMOST |
                                              MB_SETFOREGROUND));
    }
    if (!first_opens && !c.origin.empty()) {
        EXPECT_NE(status_line(STATUS_ERROR).find("Web page"), std::string::npos);
    }
    std::optional<DWORD> written = remembered(c.origin);
    EXPECT_EQ(written ? static_cast<int>(*written) : -1, c.remembered);

    later(CONSENT_INTERVAL_MS);
    standin::script().message_box_answer = IDNO;
    EXPECT_EQ(attempt(c.origin), c.second_opens);
    EXPECT_EQ(boxes(), (c.asked ? 1u : 0u) + (c.asked_again ? 1u : 0u));
}

INSTANTIATE_TEST_SUITE_P(Origins, ConsentTable, testing::ValuesIn(CONSENT_CASES),
                         [](const testing::TestParamInfo<ConsentCase> &info) { return info.param.name; });

// While the user is asked, the one feed slot is free: the real feed
// connects; another unknown page is refused without a second box and
// without being remembered.
TEST_F(Consent, WhileAskingTheSlotIsFreeAndNoSecondBoxOpens)
{
    bool feed_opened = false, other_page_opened = true;
    standin::script().message_box_hook = [&] {
        standin::script().message_box_hook = nullptr;
        other_page_opened = attempt("https://other.example");
        SOCKET feed = connect_feed_client();
        feed_client_sends(feed, head_from(""));
        feed_opened = feed_client.state == FEED_OPEN;
    };
    standin::script().message_box_answer = IDYES;
    EXPECT_FALSE(attempt("https://feed.example"));
    EXPECT_TRUE(feed_opened);
    EXPECT_FALSE(other_page_opened);
    EXPECT_EQ(boxes(), 1u);
    EXPECT_EQ(remembered("https://other.example"), std::nullopt);
    EXPECT_EQ(remembered("https://feed.example"), 1u);
}

// At most one box a minute: an unknown page that comes sooner is refused
// and not remembered; a minute after the last box, it is asked about.
TEST_F(Consent, AtMostOneBoxAMinute)
{
    standin::script().message_box_answer = IDNO;
    EXPECT_FALSE(attempt("https://first.example"));
    later(CONSENT_INTERVAL_MS - 1);
    EXPECT_FALSE(attempt("https://second.example"));
    EXPECT_EQ(boxes(), 1u);
    EXPECT_EQ(remembered("https://second.example"), std::nullopt);
    later(1);
    standin::script().message_box_answer = IDYES;
    EXPECT_FALSE(attempt("https://second.example"));
    EXPECT_EQ(boxes(), 2u);
    EXPECT_TRUE(attempt("https://second.example"));
}

// A box that the program's end closes records no answer, whatever it returns.
TEST_F(Consent, ProgramClosingDuringTheBoxRecordsNothing)
{
    standin::script().message_box_hook = [] { shutdown_app(); };
    standin::script().message_box_answer = IDNO;
    EXPECT_FALSE(attempt("https://feed.example"));
    EXPECT_EQ(remembered("https://feed.example"), std::nullopt);
}
