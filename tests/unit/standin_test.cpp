// The stand-in layer's own behaviour where it imitates Windows in detail:
// DDE string handles and advise matching, string cutting, the message
// queue, sockets and the checks on critical sections.
#include <gtest/gtest.h>

#include <cstring>

#include "standin.h"

namespace {

DWORD instance = 0;
std::vector<UINT> callback_types;

// Accepts everything and answers a data request with "<item>@<format>".
HDDEDATA CALLBACK echo_callback(UINT type, UINT format, HCONV, HSZ, HSZ item, HDDEDATA, ULONG_PTR, ULONG_PTR)
{
    callback_types.push_back(type);
    if (type == XTYP_ADVREQ || type == XTYP_REQUEST) {
        std::string text = standin::hsz_text(item) + "@" + std::to_string(format);
        return DdeCreateDataHandle(instance, reinterpret_cast<LPBYTE>(&text[0]),
                                   static_cast<DWORD>(text.size()), 0, item, format, 0);
    }
    return reinterpret_cast<HDDEDATA>(static_cast<UINT_PTR>(TRUE));
}

class Standin : public ::testing::Test {
protected:
    void SetUp() override
    {
        standin::reset();
        callback_types.clear();
        instance = 0;
        ASSERT_EQ(DdeInitializeA(&instance, echo_callback, APPCLASS_STANDARD, 0), DMLERR_NO_ERROR);
    }
};

TEST_F(Standin, StringHandlesIgnoreCaseAndKeepTheFirstSpelling)
{
    HSZ first = DdeCreateStringHandleA(instance, "Quote", 0);
    HSZ upper = DdeCreateStringHandleA(instance, "QUOTE", CP_WINANSI);
    HSZ other = DdeCreateStringHandleA(instance, "Quotes", CP_WINANSI);
    EXPECT_EQ(first, upper);
    EXPECT_EQ(DdeCmpStringHandles(first, upper), 0);
    EXPECT_NE(DdeCmpStringHandles(first, other), 0);
    char buf[16];
    DdeQueryStringA(instance, upper, buf, sizeof buf, CP_WINANSI);
    EXPECT_STREQ(buf, "Quote");
    // Two references: the spelling lives until both are freed.
    EXPECT_TRUE(DdeFreeStringHandle(instance, first));
    EXPECT_TRUE(DdeFreeStringHandle(instance, upper));
    EXPECT_FALSE(DdeFreeStringHandle(instance, upper));
    HSZ again = DdeCreateStringHandleA(instance, "QUOTE", CP_WINANSI);
    DdeQueryStringA(instance, again, buf, sizeof buf, CP_WINANSI);
    EXPECT_STREQ(buf, "QUOTE");
}

TEST_F(Standin, QueryStringCutsToTheBufferAndCountsWithoutIt)
{
    HSZ h = DdeCreateStringHandleA(instance, "1234.last", CP_WINANSI);
    EXPECT_EQ(DdeQueryStringA(instance, h, nullptr, 0, CP_WINANSI), 9u);
    struct Case {
        DWORD size;
        DWORD copied;
        const char *text;
    };
    for (Case c : {Case{1, 0, ""}, Case{2, 1, "1"}, Case{9, 8, "1234.las"}, Case{10, 9, "1234.last"},
                   Case{64, 9, "1234.last"}}) {
        char buf[80];
        std::memset(buf, 'x', sizeof buf);
        EXPECT_EQ(DdeQueryStringA(instance, h, buf, c.size, CP_WINANSI), c.copied) << c.size;
        EXPECT_STREQ(buf, c.text) << c.size;
        EXPECT_EQ(buf[c.size], 'x') << "wrote past the buffer of " << c.size;
    }
}

TEST_F(Standin, PostAdviseCallsBackForEveryMatchingLoopAtOnce)
{
    HSZ service = DdeCreateStringHandleA(instance, "Quellvarden", CP_WINANSI);
    EXPECT_EQ(standin::connect("Quellvarden", "Quote"), nullptr)
        << "connected before the name was registered";
    ASSERT_TRUE(DdeNameService(instance, service, nullptr, DNS_REGISTER));
    HCONV a = standin::connect("QUELLVARDEN", "Quote"), b = standin::connect("Quellvarden", "quote"),
          c = standin::connect("Quellvarden", "Other");
    ASSERT_TRUE(a && b && c);
    ASSERT_TRUE(standin::advise(a, "1.price", CF_TEXT));
    ASSERT_TRUE(standin::advise(a, "1.size", CF_TEXT));
    ASSERT_TRUE(standin::advise(b, "1.PRICE", 0xC001));
    ASSERT_TRUE(standin::advise(c, "1.price", CF_TEXT));
    HSZ topic = DdeCreateStringHandleA(instance, "Quote", 0);

    EXPECT_TRUE(DdePostAdvise(instance, topic, DdeCreateStringHandleA(instance, "1.Price", CP_WINANSI)));
    auto &d = standin::records().deliveries;
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].conv, a);
    EXPECT_EQ(d[0].bytes, "1.price@1");
    EXPECT_EQ(d[1].conv, b);
    EXPECT_EQ(d[1].bytes, "1.price@49153") << "one string handle per text, in its first spelling";
    EXPECT_TRUE(standin::records().data[0].freed) << "the library owns a handle the callback returns";

    d.clear();
    EXPECT_TRUE(DdePostAdvise(instance, topic, nullptr));
    EXPECT_EQ(d.size(), 3u) << "a null item is every item of the topic";

    EXPECT_FALSE(standin::unadvise(b, "1.price", CF_TEXT)) << "no loop in that format";
    EXPECT_TRUE(standin::unadvise(b, "1.price", 0xC001));
    EXPECT_EQ(standin::advise_loops().size(), 3u);
    EXPECT_EQ(callback_types.back(), static_cast<UINT>(XTYP_ADVSTOP));
}

TEST_F(Standin, GetMessageRunsIdleActionsThenQuitsAfterPostedMessages)
{
    MSG m;
    EXPECT_THROW(GetMessageA(&m, nullptr, 0, 0), standin::QueueEmpty);
    standin::script().idle.push_back([] {
        PostQuitMessage(3);
        PostMessageA(nullptr, WM_USER, 7, 0);
    });
    ASSERT_TRUE(GetMessageA(&m, nullptr, 0, 0));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_USER));
    EXPECT_FALSE(GetMessageA(&m, nullptr, 0, 0));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(m.wParam, 3u);
}

TEST_F(Standin, SocketsHonourOfferedLengthAndSendLimit)
{
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    SOCKET s = standin::incoming_connection();
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(accept(listener, nullptr, nullptr), s);
    char buf[8] = {};
    WSABUF wb{3, buf};
    DWORD got = 0, flags = 0;
    EXPECT_EQ(WSARecv(s, &wb, 1, &got, &flags, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    standin::socket_state(s).incoming = "hello";
    ASSERT_EQ(WSARecv(s, &wb, 1, &got, &flags, nullptr, nullptr), 0);
    EXPECT_EQ(std::string(buf, got), "hel");
    EXPECT_EQ(standin::socket_state(s).incoming, "lo");

    standin::socket_state(s).send_room = 2;
    char out[] = "abcde";
    WSABUF ob{5, out};
    DWORD sent = 0;
    ASSERT_EQ(WSASend(s, &ob, 1, &sent, 0, nullptr, nullptr), 0);
    EXPECT_EQ(sent, 2u);
    EXPECT_EQ(standin::socket_state(s).send_room, 0);
    EXPECT_EQ(WSASend(s, &ob, 1, &sent, 0, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(standin::socket_state(s).sent, "ab");
    closesocket(s);
    EXPECT_EQ(WSASend(s, &ob, 1, &sent, 0, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST_F(Standin, InetAddrTakesOnlyPlainDottedQuads)
{
    struct Case {
        const char *text;
        ULONG host_order;
    };
    for (Case c : {Case{"127.0.0.1", 0x7f000001}, Case{"10.20.30.255", 0x0a141eff},
                   Case{"256.0.0.1", INADDR_NONE}, Case{"1.2.3", INADDR_NONE}, Case{"1.2.3.4x", INADDR_NONE},
                   Case{"1..2.3", INADDR_NONE}, Case{"0001.2.3.4", INADDR_NONE}})
        EXPECT_EQ(ntohl(inet_addr(c.text)), c.host_order) << c.text;
    EXPECT_EQ(htons(8902), 0xc622);
}

TEST_F(Standin, CriticalSectionIsReentrantAndCatchesMisuse)
{
    CRITICAL_SECTION cs;
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 1024));
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_EQ(standin::lock_info(&cs).depth, 2);
    EXPECT_DEATH(DeleteCriticalSection(&cs), "held");
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    EXPECT_DEATH(LeaveCriticalSection(&cs), "not held");
    DeleteCriticalSection(&cs);
    EXPECT_DEATH(EnterCriticalSection(&cs), "deleted");
    EXPECT_EQ(standin::lock_info(&cs).max_depth, 2);
}

}  // namespace
