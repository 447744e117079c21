// The log: its lines, the counting of bursts, the writing to the file with
// its renaming at the size limit, and the events of a running program that
// reach it.
#include "core/clock.h"
#include "core/log.h"
#include "core/log_file.h"
#include "test_support.h"

#include "version.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <map>

namespace {

const uint64_t BASE = system_time_of(2024, 3, 1, 9, 30, 0);

// The clock at ms milliseconds after BASE.
void at_ms(uint64_t ms)
{
    standin::script().system_time = BASE + ms * 10000;
}

std::string log_bytes()
{
    return std::string(log_state.buffer, log_state.length);
}

// Ten events of different formats, each always logged from this one place.
void event(int which, int n)
{
    switch (which) {
    case 0:
        log_event("event a %d", n);
        break;
    case 1:
        log_event("event b %d", n);
        break;
    case 2:
        log_event("event c %d", n);
        break;
    case 3:
        log_event("event d %d", n);
        break;
    case 4:
        log_event("event e %d", n);
        break;
    case 5:
        log_event("event f %d", n);
        break;
    case 6:
        log_event("event g %d", n);
        break;
    case 7:
        log_event("event h %d", n);
        break;
    case 8:
        log_event("event i %d", n);
        break;
    default:
        log_event("event j %d", n);
        break;
    }
}

// ---- The line: local time to the millisecond, the text, CRLF.

struct LineCase {
    const char *name;
    uint64_t time;  // UTC
    LONG offset_minutes;
    std::function<void()> log;
    std::string line;
};

const std::string LONG_TEXT(1000, 'x');

const LineCase LINE_CASES[] = {
    {"LocalTimeToTheMillisecond", system_time_of(2024, 3, 1, 23, 59, 59, 250), 60,
     [] { log_event("Start: %s", "by hand"); }, "2024-03-02 00:59:59.250 Start: by hand\r\n"},
    {"ControlCharactersBecomeBlanks", BASE, 0, [] { log_event("box: %s", "two\r\nlines\tand\x7f"); },
     "2024-03-01 09:30:00.000 box: two  lines and \r\n"},
    {"LongTextCutKeepingTheLineEnd", BASE, 0, [] { log_event("%s", LONG_TEXT.c_str()); },
     "2024-03-01 09:30:00.000 " + std::string(LOG_LINE_MAX - 3 - 24, 'x') + "\r\n"},
};

class LogLine : public ProgramTest, public testing::WithParamInterface<LineCase> {};

TEST_P(LogLine, TimeTextAndLineEnd)
{
    const LineCase &c = GetParam();
    standin::script().system_time = c.time;
    LONG offset = c.offset_minutes;
    standin::script().utc_offset_minutes = [offset](ULONGLONG) { return offset; };
    c.log();
    EXPECT_EQ(log_bytes(), c.line);
}

INSTANTIATE_TEST_SUITE_P(Lines, LogLine, testing::ValuesIn(LINE_CASES),
                         [](const testing::TestParamInfo<LineCase> &info) { return info.param.name; });

// ---- Bursts: the same event within a second of its line is counted.

struct BurstCase {
    const char *name;
    std::function<void()> events;  // moves the clock itself
    uint64_t end_ms;               // the writer looks at the bursts then
    std::vector<std::string> logged;
    std::vector<std::string> later = {};  // after a look seconds later; empty: the same
};

std::vector<std::string> eight_events_then_a_ninth()
{
    std::vector<std::string> lines;
    for (int i = 0; i < 8; ++i)
        lines.push_back(std::string("event ") + static_cast<char>('a' + i) + " " + std::to_string(i));
    // The ninth takes the slot of the one written longest ago, whose count is told first.
    lines.push_back("... 1 more like it in the last second");
    lines.push_back("event i 8");
    for (int i = 1; i < 8; ++i)
        lines.push_back("... 1 more like it in the last second");
    return lines;
}

const BurstCase BURST_CASES[] = {
    {"OneEventOneLine", [] { at_ms(0), event(0, 1); }, 2000, {"event a 1"}},
    {"TenThousandInASecondCounted",
     [] {
         for (int i = 0; i < 10000; ++i)
             at_ms(i / 10), event(0, i);
     },
     1000,
     {"event a 0", "... 9,999 more like it in the last second"}},
    {"CountedUntilTheSecondEnds",
     [] {
         for (int i = 0; i < 3; ++i)
             at_ms(0), event(0, i);
     },
     999,
     {"event a 0"},
     {"event a 0", "... 2 more like it in the last second"}},
    {"AfterTheSecondWrittenAgain",
     [] { at_ms(0), event(0, 0), at_ms(999), event(0, 1), at_ms(1000), event(0, 2); },
     5000,
     {"event a 0", "... 1 more like it in the last second", "event a 2"}},
    {"TwoEventsCountedApart",
     [] {
         for (int i = 0; i < 5; ++i)
             at_ms(static_cast<uint64_t>(i)), event(i % 2, i);
     },
     2000,
     {"event a 0", "event b 1", "... 2 more like it in the last second",
      "... 1 more like it in the last second"}},
    {"NinthEventEndsTheOldestBurst",
     [] {
         for (int round = 0; round < 2; ++round)
             for (int i = 0; i < 8; ++i)
                 at_ms(static_cast<uint64_t>(10 * round + i)), event(i, i);
         at_ms(20), event(8, 8);
     },
     2000, eight_events_then_a_ninth()},
};

class LogBursts : public ProgramTest, public testing::WithParamInterface<BurstCase> {};

TEST_P(LogBursts, CountedAndToldOnce)
{
    const BurstCase &c = GetParam();
    c.events();
    at_ms(c.end_ms);
    end_log_bursts(standin::script().system_time);
    EXPECT_EQ(logged_events(), c.logged);
    // Told once: a later look finds nothing more to say.
    at_ms(c.end_ms + 5000);
    end_log_bursts(standin::script().system_time);
    EXPECT_EQ(logged_events(), c.later.empty() ? c.logged : c.later);
}

INSTANTIATE_TEST_SUITE_P(Events, LogBursts, testing::ValuesIn(BURST_CASES),
                         [](const testing::TestParamInfo<BurstCase> &info) { return info.param.name; });

struct CountCase {
    const char *name;
    unsigned long long n;
    const char *text;
};

const CountCase COUNT_CASES[] = {
    {"Zero", 0, "0"},
    {"ThreeDigits", 999, "999"},
    {"Thousand", 1000, "1,000"},
    {"Largest", ULLONG_MAX, "18,446,744,073,709,551,615"},
};

class CountText : public testing::TestWithParam<CountCase> {};

TEST_P(CountText, WithThousandsSeparators)
{
    char text[32];
    EXPECT_EQ(format_count(GetParam().n, text, sizeof text), std::strlen(GetParam().text));
    EXPECT_STREQ(text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Counts, CountText, testing::ValuesIn(COUNT_CASES),
                         [](const testing::TestParamInfo<CountCase> &info) { return info.param.name; });

// ---- The file: appended, renamed at the size limit, or not writable.

const std::u16string LOCAL = u"C:\\Users\\user\\AppData\\Local";
const std::u16string FOLDER = LOCAL + u"\\Quellvarden\\Vantrel";
const std::u16string LOG = FOLDER + u"\\vantrel.log";
const std::u16string LOG1 = FOLDER + u"\\vantrel.1.log";
const std::u16string LOG2 = FOLDER + u"\\vantrel.2.log";
const std::string LIMIT(LOG_ROTATE_SIZE, 'o');

void existing_folder()
{
    standin::file_system().folders[LOCAL + u"\\Quellvarden"] = true;
    standin::file_system().folders[FOLDER] = true;
}

struct WriteCase {
    const char *name;
    std::function<void()> arrange;
    bool holds_port;
    // Each file afterwards; "+" stands for the two lines written.
    std::map<std::u16string, std::string> files;
    const char *line4;  // status line 4 afterwards
};

const WriteCase WRITE_CASES[] = {
    {"FirstWriteMakesTheFolders", [] {}, true, {{LOG, "+"}}, ""},
    {"AppendsToWhatIsThere",
     [] { existing_folder(), standin::file_system().files[LOG] = "old\r\n"; },
     true,
     {{LOG, "old\r\n+"}},
     ""},
    {"BelowTheLimitAppends",
     [] { existing_folder(), standin::file_system().files[LOG] = LIMIT.substr(1); },
     true,
     {{LOG, LIMIT.substr(1) + "+"}},
     ""},
    {"AtTheLimitTheCopyWithThePortRenames",
     [] {
         existing_folder();
         standin::file_system().files[LOG] = LIMIT;
         standin::file_system().files[LOG1] = "one";
         standin::file_system().files[LOG2] = "two";
     },
     true,
     {{LOG, "+"}, {LOG1, LIMIT}, {LOG2, "one"}},
     ""},
    {"FirstRenameHasNoOlderFile",
     [] { existing_folder(), standin::file_system().files[LOG] = LIMIT; },
     true,
     {{LOG, "+"}, {LOG1, LIMIT}},
     ""},
    {"AtTheLimitACopyWithoutThePortAppends",
     [] { existing_folder(), standin::file_system().files[LOG] = LIMIT; },
     false,
     {{LOG, LIMIT + "+"}},
     ""},
    {"FolderNotWritable",
     [] { standin::file_system().folders[LOCAL] = false; },
     true,
     {},
     "The log cannot be written in %LOCALAPPDATA%\\Quellvarden\\Vantrel (error 5)"},
    {"FileNotWritable",
     [] {
         existing_folder();
         standin::file_system().folders[FOLDER] = false;
     },
     true,
     {},
     "The log cannot be written in %LOCALAPPDATA%\\Quellvarden\\Vantrel (error 5)"},
    {"NoLocalAppData",
     [] { standin::script().environment.clear(); },
     true,
     {},
     "The log cannot be written in %LOCALAPPDATA%\\Quellvarden\\Vantrel (error 203)"},
};

class LogWrite : public ProgramTest, public testing::WithParamInterface<WriteCase> {};

TEST_P(LogWrite, WhatTheFilesHoldAfterwards)
{
    const WriteCase &c = GetParam();
    c.arrange();
    log_file.holds_port = c.holds_port;
    event(0, 1);
    event(1, 2);
    std::string lines = log_bytes();
    write_log();
    std::map<std::u16string, std::string> expected;
    for (const auto &file : c.files) {
        std::string text = file.second;
        size_t plus = text.rfind('+');
        if (plus != std::string::npos && plus == text.size() - 1)
            text.replace(plus, 1, lines);
        expected[file.first] = text;
    }
    EXPECT_TRUE(standin::file_system().files == expected);
    EXPECT_EQ(log_state.length, 0u) << "written or dropped, the lines are not kept";
    EXPECT_EQ(status_line(4), c.line4);

    // The failure is said once; the program runs on and drops the lines.
    print_status(STATUS_ERROR, "later notice");
    event(2, 3);
    write_log();
    EXPECT_EQ(status_line(4), "later notice");
    EXPECT_EQ(log_state.length, 0u);
}

INSTANTIATE_TEST_SUITE_P(Files, LogWrite, testing::ValuesIn(WRITE_CASES),
                         [](const testing::TestParamInfo<WriteCase> &info) { return info.param.name; });

// ---- The running program.

std::string lines_at(const std::string &time, const std::vector<std::string> &texts)
{
    std::string lines;
    for (const std::string &text : texts)
        lines += time + " " + text + "\r\n";
    return lines;
}

class LogOfTheProgram : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        ASSERT_TRUE(start_program());
    }
    std::string file() { return standin::file_system().files[LOG]; }
};

// Events cost no file call: the writer's timer writes them all at once, and
// stops once no burst is counting.
TEST_F(LogOfTheProgram, WrittenOnceAFrameByTheTimer)
{
    write_log();
    std::string start = file();
    int opens = standin::records().file_opens;

    for (int i = 0; i < 5000; ++i)
        event(i % 3, i);
    EXPECT_EQ(standin::records().file_opens, opens);
    ASSERT_TRUE(standin::timer_elapses(main_window, LOG_TIMER_ID));
    standin::pump();
    EXPECT_EQ(standin::records().file_opens, opens + 1);
    const std::string first = lines_at("2024-03-01 00:00:00.000", {"event a 0", "event b 1", "event c 2"});
    EXPECT_EQ(file(), start + first);
    // The bursts go on counting: the timer runs until their second ends.
    ASSERT_TRUE(standin::timer_running(main_window, LOG_TIMER_ID));
    standin::script().system_time += TICKS_PER_SECOND;
    ASSERT_TRUE(standin::timer_elapses(main_window, LOG_TIMER_ID));
    standin::pump();
    EXPECT_FALSE(standin::timer_running(main_window, LOG_TIMER_ID));
    EXPECT_EQ(file(), start + first +
                          lines_at("2024-03-01 00:00:01.000", {"... 1,666 more like it in the last second",
                                                               "... 1,666 more like it in the last second",
                                                               "... 1,665 more like it in the last second"}));
}

// What a user would look for, one event per row: the line the program
// logs for it.
struct ProgramEventCase {
    const char *name;
    std::function<void()> happen;  // on the started program
    std::string line;
};

std::string head_with(const std::string &headers)
{
    std::string head = upgrade_request();
    return head.insert(head.size() - 2, headers);
}

const ProgramEventCase PROGRAM_EVENT_CASES[] = {
    {"ConnectWithOriginAndUserAgent",
     [] {
         feed_client_sends(connect_feed_client(),
                           head_with("Origin: http://localhost:8000\r\nUser-Agent: feed/2.1 (x)\r\n"));
     },
     "Feed client connected: Origin http://localhost:8000, User-Agent feed/2.1 (x)"},
    {"ConnectWithNeither", [] { handshaken_feed_client(); },
     "Feed client connected: Origin not sent, User-Agent not sent"},
    {"ClientCloses", [] { socket_event(handshaken_feed_client(), FD_CLOSE); },
     "Feed client disconnected: the client closed the connection"},
    {"SocketError", [] { socket_event(handshaken_feed_client(), FD_READ, WSAECONNRESET); },
     "Feed client disconnected: socket error 10054"},
    {"CloseFrameThenTheClientCloses",
     [] {
         SOCKET s = handshaken_feed_client();
         feed_client_sends(s, client_frame(0x88, "\x03\xE8"));
         socket_event(s, FD_CLOSE);
     },
     "Feed client disconnected after close code 1000: the client closed the connection"},
    {"HandshakeNeverSent",
     [] {
         connect_feed_client();
         standin::timer_elapses(main_window, FEED_TIMER_ID);
         standin::pump();
     },
     "Feed client disconnected during the handshake: no handshake within 10 s"},
    {"SecondClientRefused", [] { handshaken_feed_client(), connect_feed_client(); },
     "Second feed client refused: one feed client at a time"},
    {"HandshakeRefused", [] { feed_client_sends(connect_feed_client(), "POST / HTTP/1.1\r\n\r\n"); },
     "Handshake refused: not a GET request"},
    {"HandshakeWithoutABlankLine",
     [] {
         feed_client_sends(connect_feed_client(), "GET / HTTP/1.1\r\n" + std::string(FEED_BUFFER_SIZE, 'h'));
     },
     "Handshake refused: no blank line in the first 10248 bytes"},
    {"WebPageNotAllowed", [] { feed_client_sends(connect_feed_client(), head_with("Origin: null\r\n")); },
     "Handshake refused: web page not allowed: null"},
    {"BoxShownWithItsText",
     [] { feed_client_sends(connect_feed_client(), "GET / HTTP/1.1\r\nX: a\rb\r\n\r\n"); },
     "Message box \"\": INVALD HEADER"},
    {"ConsentAnswered",
     [] {
         standin::script().message_box_answer = IDYES;
         feed_client_sends(connect_feed_client(), head_with("Origin: https://example.com\r\n"));
     },
     "Web page allowed by the user: https://example.com"},
    {"FirstLinkOfAField",
     [] { standin::advise(standin::connect("Quellvarden", "Quote"), "1234.lastprice", CF_TEXT); },
     "First link to 1234.lastprice, by DDE"},
    {"RefusedUpdate",
     [] {
         feed_client_sends(handshaken_feed_client(),
                           client_frame(0x81, "{\"key\":\"1234.bid\",\"value\":true}"));
     },
     "Update refused: value is true: {\"key\":\"1234.bid\",\"value\":true}"},
};

class ProgramEvents : public LogOfTheProgram, public testing::WithParamInterface<ProgramEventCase> {};

TEST_P(ProgramEvents, AreLogged)
{
    GetParam().happen();
    std::vector<std::string> events = logged_events();
    EXPECT_NE(std::find(events.begin(), events.end(), GetParam().line), events.end())
        << testing::PrintToString(events);
}

INSTANTIATE_TEST_SUITE_P(Events, ProgramEvents, testing::ValuesIn(PROGRAM_EVENT_CASES),
                         [](const testing::TestParamInfo<ProgramEventCase> &info) {
                             return info.param.name;
                         });

TEST_F(LogOfTheProgram, StartLineNamesVersionPathAndHow)
{
    log_start(how_started("/logon"));
    EXPECT_EQ(logged_events().back(), "Start: Vantrel " VANTREL_VERSION_TEXT
                                      ", C:\\Users\\user\\Vantrel\\vantrel.exe, started at logon");
}

// File > Open log: what waits is written first, then the file is opened.
TEST_F(LogOfTheProgram, OpenLogWritesThenOpensTheFile)
{
    log_event("before opening");
    SendMessageA(main_window, WM_COMMAND, IDM_OPEN_LOG, 0);
    const auto &opened = standin::records().shell_executes;
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].verb, u"open");
    EXPECT_EQ(opened[0].file, LOG);
    EXPECT_NE(file().find(" before opening\r\n"), std::string::npos);
    EXPECT_EQ(status_line(4), "");
    standin::script().shell_execute_result = 31;  // SE_ERR_NOASSOC
    SendMessageA(main_window, WM_COMMAND, IDM_OPEN_LOG, 0);
    EXPECT_EQ(status_line(4), "The log could not be opened (error 31)");
}

}  // namespace
