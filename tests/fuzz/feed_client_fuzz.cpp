// The feed connection's read path on whatever a client sends, cut into
// whatever reads, between the other events of its socket, its timer, more
// clients, new links and message boxes that stay open while events arrive.
// After every event the record must be sound (state none exactly when there
// is no socket, buffers within bounds and the receive buffer the record's
// own unless open, the send queue in order, the limit timer running exactly
// while handshaking or closing, the lock released, the status line telling
// the truth), and what every client received must be a valid server stream:
// one response head and, behind a 101 only, whole unmasked frames: a
// request for each linked field, once per connection and none missing once
// the replay and the queue are out, pongs, and at most one close frame, the
// last thing sent.
//
// Input: byte 0 chooses the answer of every message box (box_answer); then
// records of an op byte and a 16-bit little-endian length; for ops that send
// or name something (0-3, 5, 9) that many bytes follow (the last record is
// cut short by the end of the input), for the others the length is their
// number. By op % 11:
//   0-3  a read: the bytes arrive and FD_READ is handled
//   4    the client makes room for `length` bytes (0xFFFF: no limit), FD_WRITE
//   5    the client sends the bytes and closes (FD_CLOSE)
//   6    an error on the client's socket, with FD_READ, FD_WRITE or FD_CLOSE
//   7    the feed timer elapses
//   8    another client connects; for an odd length on the last client's
//        handle value, if that is closed
//   9    a cell links the item the bytes name (XlTable for an odd length)
//   10   the next message box stays open for the next `length % 8` records
// When there is no client, ops 0-6 connect one first.
#include "app/startup.h"
#include "core/registry.h"
#include "core/status_board.h"
#include "dde/dde_service.h"
#include "feed/feed_client.h"
#include "feed/receive_buffer.h"
#include "feed/replay.h"
#include "feed/send_queue.h"
#include "standin.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/program_driver.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string>

// What one connection has been sent, parsed as far as it is whole.
struct Stream {
    size_t parsed = 0;
    enum { HEAD, FRAMES, ENDED } part = HEAD;
    std::set<std::string> requested;
};

static struct {
    const uint8_t *data;
    size_t size, at;
    HCONV sheet;
    SOCKET client;  // the last client the program took
    int box_records;
    std::map<SOCKET, Stream> streams;
    size_t deliveries_seen;
} run;

static std::set<std::string> registry_items()
{
    std::set<std::string> items;
    for (uint64_t i = 0; i < registry.instrument_count; ++i) {
        const Instrument &instrument = registry.instruments[i];
        for (uint16_t f = 0; f < instrument.field_count; ++f)
            items.insert(std::to_string(instrument.insref) + "." + instrument.fields[f].name);
    }
    return items;
}

static void check_frame(Stream &stream, unsigned char first_byte, const std::string &payload,
                        const std::set<std::string> &items)
{
    static const char OPENING[] = "{ \"request\" : \"", CLOSING[] = "\" }";
    const size_t opening = sizeof OPENING - 1, closing = sizeof CLOSING - 1;
    if (first_byte == 0x81) {
        FUZZ_CHECK(payload.size() > opening + closing && payload.compare(0, opening, OPENING) == 0);
        FUZZ_CHECK(payload.compare(payload.size() - closing, closing, CLOSING) == 0);
        std::string item = payload.substr(opening, payload.size() - opening - closing);
        FUZZ_CHECK(items.count(item) != 0);
        FUZZ_CHECK(stream.requested.insert(item).second);
    } else if (first_byte == 0x88) {
        FUZZ_CHECK(payload.size() == 2);
        unsigned code = static_cast<unsigned char>(payload[0]) << 8 | static_cast<unsigned char>(payload[1]);
        FUZZ_CHECK((code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011) ||
                   (code >= 3000 && code <= 4999));
        stream.part = Stream::ENDED;
    } else {
        FUZZ_CHECK(first_byte == 0x8A);  // a pong
    }
}

static void check_stream(SOCKET s, Stream &stream, const std::set<std::string> &items)
{
    const standin::SocketState &socket = standin::socket_state(s);
    const std::string &sent = socket.sent;
    static const char STATUS_LINE[] = "HTTP/1.1 ";
    if (stream.part == Stream::HEAD) {
        size_t end = sent.find("\r\n\r\n");
        size_t start = std::min(sent.size(), sizeof STATUS_LINE - 1);
        FUZZ_CHECK(sent.compare(0, start, STATUS_LINE, start) == 0);
        if (end == std::string::npos)
            return;
        stream.parsed = end + 4;
        stream.part = sent.compare(0, 13, "HTTP/1.1 101 ") == 0 ? Stream::FRAMES : Stream::ENDED;
    }
    while (stream.part == Stream::FRAMES && sent.size() - stream.parsed >= 2) {
        const unsigned char *frame = reinterpret_cast<const unsigned char *>(sent.data()) + stream.parsed;
        size_t available = sent.size() - stream.parsed;
        FUZZ_CHECK((frame[1] & 0x80) == 0);  // a server never masks
        uint64_t length = frame[1] & 0x7F;
        size_t header = length == 126 ? 4 : length == 127 ? 10 : 2;
        if (available < header)
            return;
        if (header > 2) {
            length = 0;
            for (size_t i = 2; i < header; ++i)
                length = length << 8 | frame[i];
            FUZZ_CHECK(length > (header == 4 ? 125u : 0xFFFFu));  // the shortest length form
        }
        if (available - header < length)
            return;
        check_frame(stream, frame[0], sent.substr(stream.parsed + header, static_cast<size_t>(length)),
                    items);
        stream.parsed += header + static_cast<size_t>(length);
    }
    if (stream.part == Stream::ENDED)
        FUZZ_CHECK(stream.parsed == sent.size());
    if (socket.write_shut)
        FUZZ_CHECK(stream.part == Stream::ENDED && stream.parsed == sent.size());
}

static void check_record()
{
    const FeedClient &c = feed_client;
    FUZZ_CHECK(c.state == FEED_NONE || c.state == FEED_HANDSHAKING || c.state == FEED_OPEN ||
               c.state == FEED_CLOSING);
    FUZZ_CHECK((c.state == FEED_NONE) == (c.socket == INVALID_SOCKET));
    FUZZ_CHECK(c.message_length <= c.receive_length && c.receive_length <= c.receive_capacity);
    FUZZ_CHECK(c.receive_capacity <= RECEIVE_CAPACITY_MAX && c.send_length <= FEED_BUFFER_SIZE);
    FUZZ_CHECK((c.receive_buffer == c.receive_inline) == (c.receive_capacity == FEED_BUFFER_SIZE));
    if (c.state == FEED_OPEN || c.state == FEED_HANDSHAKING)
        FUZZ_CHECK(c.receive_buffer[c.receive_length] == '\0');
    if (c.state != FEED_OPEN)
        FUZZ_CHECK(c.receive_buffer == c.receive_inline && c.message_length == 0 && !c.message_open);
    FUZZ_CHECK(c.overflow_start <= c.overflow_length && c.overflow_length <= c.overflow_capacity);
    FUZZ_CHECK((c.overflow == nullptr) == (c.overflow_capacity == 0));
    if (c.overflow_length > c.overflow_start)
        FUZZ_CHECK(c.send_length == FEED_BUFFER_SIZE);
    if (c.state == FEED_NONE)
        FUZZ_CHECK(c.receive_length == 0 && send_queue_empty(c) && !c.overflow && !c.write_shut);
    else
        FUZZ_CHECK(standin::socket_state(c.socket).open);
    if (c.write_shut)
        FUZZ_CHECK(c.state == FEED_CLOSING && standin::socket_state(c.socket).write_shut);
    bool limited = c.state == FEED_HANDSHAKING || c.state == FEED_CLOSING;
    FUZZ_CHECK(standin::timer_running(main_window, FEED_TIMER_ID) == limited);
    FUZZ_CHECK(standin::lock_info(&registry_lock).depth == 0);
    FUZZ_CHECK((c.state != FEED_NONE) == (std::strcmp(status_board.lines[0], "Status: Connected") == 0));

    // A closed connection is sent nothing more: checked a last time, it is forgotten.
    std::set<std::string> items = registry_items();
    for (auto entry = run.streams.begin(); entry != run.streams.end();) {
        check_stream(entry->first, entry->second, items);
        entry = standin::socket_state(entry->first).open ? std::next(entry) : run.streams.erase(entry);
    }
    // Every linked field has been asked for once the replay and the queue are out.
    FUZZ_CHECK(!feed_replay.active || c.state == FEED_OPEN);
    if (c.state == FEED_OPEN && send_queue_empty(c) && !feed_replay.active)
        FUZZ_CHECK(run.streams.at(c.socket).requested == items);

    const auto &deliveries = standin::records().deliveries;
    for (; run.deliveries_seen < deliveries.size(); ++run.deliveries_seen)
        FUZZ_CHECK(deliveries[run.deliveries_seen].bytes.has_value());
}

static void another_client(bool reuse)
{
    bool closed = run.client != INVALID_SOCKET && !standin::socket_state(run.client).open;
    SOCKET s = standin::incoming_connection(reuse && closed ? run.client : 0);
    if (reuse && closed)
        run.streams.erase(s);  // a new connection on the old value
    run.streams[s];
    socket_event(listen_socket, FD_ACCEPT);
    if (feed_client.socket == s)
        run.client = s;
    else
        FUZZ_CHECK(!standin::socket_state(s).open && standin::socket_state(s).sent.empty());
}

static void run_record(uint8_t op, size_t length, const std::string &bytes)
{
    if (op <= 6 && feed_client.socket == INVALID_SOCKET)
        another_client(false);
    SOCKET client = run.client;
    switch (op) {
    case 4:
        standin::socket_state(client).send_room = length == 0xFFFF ? -1 : static_cast<long>(length);
        socket_event(client, FD_WRITE);
        break;
    case 5:
        standin::socket_state(client).incoming += bytes;
        standin::socket_state(client).peer_closed = true;
        socket_event(client, FD_CLOSE);
        break;
    case 6: {
        static const WORD EVENTS[3] = {FD_READ, FD_WRITE, FD_CLOSE};
        socket_event(client, EVENTS[length % 3], WSAECONNRESET);
        break;
    }
    case 7:
        if (standin::timer_elapses(main_window, FEED_TIMER_ID))
            standin::pump();
        break;
    case 8:
        another_client(length % 2 == 1);
        break;
    case 9:
        standin::advise(run.sheet, bytes.c_str(), length % 2 ? xltable_format : CF_TEXT);
        break;
    case 10:
        run.box_records = static_cast<int>(length % 8);
        break;
    default:
        feed_client_sends(client, bytes);
        break;
    }
}

static void run_records(long count)
{
    while (count-- != 0 && run.size - run.at >= 3) {
        uint8_t op = run.data[run.at] % 11;
        size_t length = run.data[run.at + 1] | run.data[run.at + 2] << 8;
        run.at += 3;
        bool has_bytes = op <= 3 || op == 5 || op == 9;
        size_t taken = has_bytes ? std::min(length, run.size - run.at) : 0;
        std::string bytes(reinterpret_cast<const char *>(run.data + run.at), taken);
        run.at += taken;
        run_record(op, length, bytes);
        check_record();
    }
}

// A message box runs the records it was asked to stay open for.
static void box_is_open()
{
    int records = run.box_records;
    run.box_records = 0;
    if (records > 0)
        run_records(records);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    fresh_process();
    run.data = data;
    run.size = size;
    run.at = 1;
    run.client = INVALID_SOCKET;
    run.box_records = 0;
    run.streams.clear();
    run.deliveries_seen = 0;
    standin::script().message_box_answer = box_answer(data[0]);
    standin::script().message_box_hook = box_is_open;

    FUZZ_CHECK(start_program());
    run.sheet = standin::connect("Quellvarden", "Quote");
    FUZZ_CHECK(standin::advise(run.sheet, "1234.lastprice", xltable_format));
    FUZZ_CHECK(standin::advise(run.sheet, "1234.lastprice", CF_TEXT));
    FUZZ_CHECK(standin::advise(run.sheet, "5.bid", CF_TEXT));
    another_client(false);
    run_records(-1);

    // The client leaves; the connection ends and takes its queue with it.
    if (feed_client.socket != INVALID_SOCKET) {
        standin::socket_state(feed_client.socket).peer_closed = true;
        socket_event(feed_client.socket, FD_CLOSE);
    }
    check_record();
    FUZZ_CHECK(feed_client.state == FEED_NONE && !feed_client.overflow);
    fresh_process();
    return 0;
}
