#include "test_support.h"

#include "core/log.h"

#include <cstring>
#include <ctime>

void start_dde_side()
{
    InitializeCriticalSectionAndSpinCount(&registry_lock, 1024);
    DdeStartReport report;
    ASSERT_TRUE(dde_start(&report));
    request_new_field = send_request;
    field_changed = tell_faces;
    ready_feed();
}

SOCKET open_feed_client()
{
    SOCKET s = standin::incoming_connection();
    feed_client.socket = accept(s, nullptr, nullptr);
    feed_client.state = FEED_OPEN;
    return feed_client.socket;
}

SOCKET handshaken_feed_client()
{
    SOCKET s = connect_feed_client();
    feed_client_sends(s, upgrade_request());
    EXPECT_EQ(feed_client.state, FEED_OPEN);
    standin::socket_state(s).sent.clear();
    return s;
}

std::string request_frame(const std::string &item)
{
    std::string payload = "{ \"request\" : \"" + item + "\" }";
    std::string header("\x81", 1);
    if (payload.size() <= 125)
        return header + static_cast<char>(payload.size()) + payload;
    return header + '\x7E' + static_cast<char>(payload.size() >> 8) +
           static_cast<char>(payload.size() & 0xFF) + payload;
}

std::string status_line(int line)
{
    return status_board.lines[line];
}

std::vector<std::string> logged_events()
{
    std::vector<std::string> events;
    std::string text(log_state.buffer, log_state.length);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        // "2024-03-01 00:00:00.000 " is 24 characters.
        events.push_back(text.substr(start + 24, end - start - 24));
        start = end + 2;
    }
    return events;
}

static std::string table_header()
{
    return std::string("\x10\x00\x04\x00\x01\x00\x01\x00", 8);
}

std::string xltable_number(double value)
{
    std::string bytes = table_header() + std::string("\x01\x00\x08\x00", 4);
    unsigned char raw[8];
    std::memcpy(raw, &value, 8);  // the test hosts are little-endian, as is the format
    return bytes + std::string(reinterpret_cast<char *>(raw), 8);
}

std::string xltable_string(const std::string &text)
{
    size_t n = text.size();
    std::string bytes = table_header() + "\x02";
    bytes += '\0';
    bytes += static_cast<char>((n + 1) & 0xFF);
    bytes += static_cast<char>((n + 1) >> 8);
    bytes += static_cast<char>(n);
    return bytes + text;
}

uint64_t system_time_of(int year, int month, int day, int hour, int minute, int second, int ms)
{
    struct tm parts = {};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    long long unix_seconds = static_cast<long long>(timegm(&parts));
    return static_cast<uint64_t>(unix_seconds + 11644473600LL) * 10000000u +
           static_cast<uint64_t>(ms) * 10000u;
}
