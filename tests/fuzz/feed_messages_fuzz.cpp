// The feed's updates, read as JSON and applied.
//
// Byte 0, bit 0 chooses the mode:
//  0  raw: the rest is a payload as a frame delivers it (an exact heap copy
//     with a NUL behind, watched by ASan). Whatever it holds, the lock is
//     released, a refused payload changes no field, and no field keeps more
//     than 1023 bytes.
//  1  oracle: the rest describes updates (item, kind, value characters),
//     which are written as JSON with random escapes, blanks, member order,
//     extra members and batching; after apply_update every linked field
//     holds exactly what its last update said, and nothing is reported.
//     With bit 1 set too, the message travels through a feed connection
//     instead: the bytes after the updates cut it into fragments, masked
//     or not with pings between them, and the frames into reads; then the
//     connection is still open, only pongs were sent back and the receive
//     buffer holds nothing, besides all the above.
#include "core/log.h"
#include "core/registry.h"
#include "core/status_board.h"
#include "dde/dde_service.h"
#include "feed/feed_client.h"
#include "feed/feed_messages.h"
#include "standin.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/program_driver.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

static const char *const ITEMS[4] = {"1234.lastprice", "1234.bid", "5.x", "5.a.b"};

static std::map<std::string, std::string> field_values()
{
    std::map<std::string, std::string> values;
    for (uint64_t i = 0; i < registry.instrument_count; ++i) {
        const Instrument &instrument = registry.instruments[i];
        for (uint16_t f = 0; f < instrument.field_count; ++f) {
            const char *value = instrument.fields[f].value;
            FUZZ_CHECK(!value || std::strlen(value) <= 1023);
            values[std::to_string(instrument.insref) + "." + instrument.fields[f].name] =
                value ? std::string(1, 'v') + value : "null";
        }
    }
    return values;
}

static void apply(const std::string &payload)
{
    std::unique_ptr<char[]> copy(new char[payload.size() + 1]);
    std::memcpy(copy.get(), payload.data(), payload.size());
    copy[payload.size()] = '\0';
    apply_update(copy.get(), payload.size());
    FUZZ_CHECK(standin::lock_info(&registry_lock).depth == 0);
    for (const char *line : status_board.lines)
        FUZZ_CHECK(std::memchr(line, '\0', STATUS_LINE_SIZE) != nullptr);
}

// The log's lines from byte `from` on, each checked whole: its time, no
// control character, CRLF. Gives them without their times.
static std::vector<std::string> logged_since(size_t from)
{
    std::vector<std::string> events;
    std::string text(log_state.buffer + from, log_state.length - from);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find("\r\n", start);
        FUZZ_CHECK(end != std::string::npos && end - start > 24 && text[start + 23] == ' ');
        for (size_t i = start; i < end; ++i)
            FUZZ_CHECK(static_cast<unsigned char>(text[i]) >= 0x20 && text[i] != 0x7F);
        events.push_back(text.substr(start + 24, end - start - 24));
        start = end + 2;
    }
    return events;
}

// A refused payload is logged once, with a reason and at most its first 200
// bytes, cut at a character's start; a payload taken is not logged.
static void check_refusal_logged(const std::string &payload, const std::vector<std::string> &events,
                                 bool refused)
{
    static const std::string PREFIX = "Update refused: ";
    size_t refusals = 0;
    for (const std::string &event : events) {
        if (event.compare(0, PREFIX.size(), PREFIX) != 0)
            continue;
        ++refusals;
        std::string shown = payload.substr(0, payload.find('\0'));
        for (char &c : shown)
            c = static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c;
        size_t cut = std::min(shown.size(), size_t{200});
        while (cut < shown.size() && cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80)
            --cut;
        std::string ending = ": " + shown.substr(0, cut);
        FUZZ_CHECK(event.size() > PREFIX.size() + ending.size() &&
                   event.compare(event.size() - ending.size(), ending.size(), ending) == 0);
    }
    FUZZ_CHECK(refusals == (refused ? 1u : 0u));
}

static void check_raw(const uint8_t *data, size_t size)
{
    std::map<std::string, std::string> before = field_values();
    size_t logged = log_state.length;
    std::string payload(reinterpret_cast<const char *>(data), size);
    apply(payload);
    bool refused = std::strncmp(status_board.lines[STATUS_ERROR], "Invalid receieved: ", 19) == 0;
    if (refused)
        FUZZ_CHECK(field_values() == before);
    check_refusal_logged(payload, logged_since(logged), refused);
}

// Reads the input byte by byte, 0 once it is used up.
struct Input {
    const uint8_t *data;
    size_t size;
    size_t next = 0;
    unsigned byte() { return next < size ? data[next++] : 0; }
    bool more() const { return next < size; }
};

static void put_utf8(std::string &out, uint32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

static void put_escape(std::string &out, uint32_t unit, bool upper)
{
    char hex[8];
    std::snprintf(hex, sizeof hex, upper ? "\\u%04X" : "\\u%04x", static_cast<unsigned>(unit));
    out += hex;
}

// A code point (never U+0000 or a surrogate) written into a JSON string in
// one of the ways JSON allows.
static void put_json_char(std::string &out, uint32_t c, unsigned how)
{
    static const char SHORT[] = "\"\\/\b\f\n\r\t";
    static const char SHORT_NAMES[] = "\"\\/bfnrt";
    const char *short_form = c < 0x80 ? std::strchr(SHORT, static_cast<int>(c)) : nullptr;
    bool must_escape = c < 0x20 || c == '"' || c == '\\';
    if (how % 3 == 0 && short_form && c != 0) {
        out += '\\';
        out += SHORT_NAMES[short_form - SHORT];
    } else if (how % 3 == 1 || must_escape) {
        if (c >= 0x10000) {
            put_escape(out, 0xD800 + ((c - 0x10000) >> 10), how & 4);
            put_escape(out, 0xDC00 + ((c - 0x10000) & 0x3FF), how & 8);
        } else {
            put_escape(out, c, how & 4);
        }
    } else {
        put_utf8(out, c);
    }
}

static uint32_t code_point(Input &in)
{
    unsigned kind = in.byte(), low = in.byte();
    switch (kind & 3) {
    case 0:
        return 1 + low % 0x7F;  // ASCII, controls included
    case 1:
        return 0x80 + (low | (kind & 0x70) << 4);  // up to U+07FF
    case 2: {
        uint32_t c = 0x800 + ((kind >> 2) << 8 | low) % (0x10000 - 0x800);
        return c >= 0xD800 && c <= 0xDFFF ? c + 0x800 : c;
    }
    default:
        return 0x10000 + ((kind >> 2) << 12 | low << 4 | (in.byte() & 0xF));
    }
}

static void put_blanks(std::string &out, Input &in)
{
    static const char BLANKS[] = " \t\r\n";
    unsigned n = in.byte() % 4;
    for (unsigned i = 0; i + 1 < n; ++i)
        out += BLANKS[in.byte() % 4];
}

struct Written {
    std::string item;
    std::string stored;  // as field_values() shows it; empty: unchanged
};

static Written write_update(std::string &out, Input &in)
{
    Written w;
    w.item = ITEMS[in.byte() % 4];
    unsigned kind = in.byte();
    std::string value;  // the JSON text of the value
    switch (kind % 5) {
    case 0:
        value = "null";
        w.stored = "null";
        break;
    case 1:
        value = "\"null\"";
        w.stored = "null";
        break;
    case 2: {  // a number, kept as written
        static const char *const FORMS[] = {"0", "-1.5", "12.25e-3", "9007199254740993", "NaN", "-Infinity"};
        value = FORMS[(kind >> 3) % 6];
        w.stored = "v" + value;
        break;
    }
    default: {  // a text; empty changes nothing
        size_t length = in.byte() % 24;
        std::string decoded;
        value = "\"";
        for (size_t i = 0; i < length && in.more(); ++i) {
            uint32_t c = code_point(in);
            put_utf8(decoded, c);
            put_json_char(value, c, in.byte());
        }
        value += "\"";
        w.stored = decoded.empty() ? "" : decoded == "null" ? "null" : "v" + decoded;
        break;
    }
    }
    std::string key = "\"";
    for (const char *p = w.item.c_str(); *p; ++p)
        put_json_char(key, static_cast<unsigned char>(*p), in.byte());
    key += "\"";

    std::string members[3] = {"\"key\"", "\"value\"", "\"extra\""};
    std::string values[3] = {key, value, (kind & 0x80) ? "{\"key\":\"5.x\",\"value\":[1,{}]}" : "true"};
    unsigned order = in.byte() % 6;
    static const int ORDERS[6][3] = {{0, 1, 2}, {1, 0, 2}, {2, 0, 1}, {0, 2, 1}, {1, 2, 0}, {2, 1, 0}};
    bool extra = kind & 0x40;
    out += "{";
    bool first = true;
    for (int index : ORDERS[order]) {
        if (index == 2 && !extra)
            continue;
        if (!first)
            out += ",";
        first = false;
        put_blanks(out, in);
        out += members[index];
        put_blanks(out, in);
        out += ":";
        put_blanks(out, in);
        out += values[index];
        put_blanks(out, in);
    }
    out += "}";
    return w;
}

// Two input bytes as a size, up to 65535.
static size_t size_from(Input &in)
{
    return in.byte() | in.byte() << 8;
}

static void send_through_connection(const std::string &payload, Input &in)
{
    SOCKET client = connect_feed_client();
    feed_client_sends(client, upgrade_request());
    FUZZ_CHECK(feed_client.state == FEED_OPEN);
    const size_t sent_before = standin::socket_state(client).sent.size();

    std::string bytes, pongs;
    unsigned fragments = 1 + in.byte() % 16;
    size_t at = 0;
    for (unsigned i = 0; i < fragments; ++i) {
        bool last = i + 1 == fragments;
        size_t size = last ? payload.size() - at : size_from(in) % (payload.size() - at + 1);
        unsigned choice = in.byte();
        unsigned char opcode = i == 0 ? 0x1 : 0x0;
        bytes += client_frame(static_cast<unsigned char>((last ? 0x80 : 0) | opcode),
                              payload.substr(at, size), choice & 1);
        at += size;
        if (!last && (choice & 2)) {
            bytes += client_frame(0x89, "ping", choice & 4);
            pongs += "\x8A\x04ping";
        }
    }
    // Once the input is used up, the rest arrives in one read.
    for (size_t read = 0; read < bytes.size();) {
        size_t size = in.more() ? 1 + size_from(in) % 4096 : bytes.size() - read;
        feed_client_sends(client, bytes.substr(read, size));
        read += size;
    }
    FUZZ_CHECK(feed_client.state == FEED_OPEN);
    FUZZ_CHECK(standin::socket_state(client).sent.substr(sent_before) == pongs);
    FUZZ_CHECK(feed_client.receive_length == 0 && feed_client.message_length == 0 &&
               !feed_client.message_open);
}

static void check_oracle(Input &in, bool through_connection)
{
    std::map<std::string, std::string> expected = field_values();
    unsigned count = 1 + in.byte() % 12;
    bool batch = count > 1 || (in.byte() & 1);
    std::string payload = batch ? "[" : "";
    for (unsigned i = 0; i < count; ++i) {
        if (i > 0)
            payload += ",";
        put_blanks(payload, in);
        Written w = write_update(payload, in);
        if (!w.stored.empty())
            expected[w.item] = w.stored;
    }
    payload += batch ? "]" : "";
    if (through_connection)
        send_through_connection(payload, in);
    else
        apply(payload);
    FUZZ_CHECK(status_board.lines[STATUS_ERROR][0] == '\0');
    FUZZ_CHECK(field_values() == expected);
    check_refusal_logged(payload, logged_since(0), false);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    fresh_process();
    FUZZ_CHECK(start_program());
    HCONV sheet = standin::connect("Quellvarden", "Quote");
    for (const char *item : ITEMS)
        FUZZ_CHECK(standin::advise(sheet, item, CF_TEXT));
    if (data[0] & 1) {
        Input in{data + 1, size - 1};
        check_oracle(in, data[0] & 2);
    } else {
        check_raw(data + 1, size - 1);
    }
    fresh_process();
    return 0;
}
