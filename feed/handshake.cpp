// The opening handshake: the request head checked, the 101 response written.
#include "feed/handshake.h"

#include "feed/ascii_case.h"
#include "feed/base64.h"
#include "feed/sha1.h"

#include <cstdio>
#include <cstring>

/*
 * The feed client opens with an HTTP upgrade request, as a browser does:
 *     GET /any/path HTTP/1.1\r\n
 *     Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n
 *     ...\r\n
 *     \r\n
 * The first line must be a GET request line (any target, HTTP/1.1 or later):
 * a web page can send any other request to this port, a POST with a body
 * that looks like headers too. Of the headers up to the blank line only the
 * key and the Origin matter. Header names ignore letter case (tornado writes
 * Sec-Websocket-Key, some clients every name in small letters), and blanks
 * may stand around the value. The answer carries base64(SHA-1(key + GUID))
 * as its accept value.
 */
static const char REQUEST_LINE[] = "GET ";
static const char KEY_HEADER_NAME[] = "Sec-WebSocket-Key";
static const char ORIGIN_HEADER_NAME[] = "Origin";
static const char USER_AGENT_HEADER_NAME[] = "User-Agent";
static const char KEY_SUFFIX_FORMAT[] = "%s258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
static const char RESPONSE_FORMAT[] = "HTTP/1.1 101 Switching Protocols\r\n"
                                      "Upgrade: websocket\r\n"
                                      "Connection: Upgrade\r\n"
                                      "Sec-WebSocket-Accept: %s\r\n\r\n";

constexpr size_t KEY_BUFFER_SIZE = 256;
// The longest key that fits the key buffer together with the 36-character GUID.
constexpr size_t KEY_MAX = KEY_BUFFER_SIZE - 1 - 36;

static bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// The value of header `name`, trimmed of the blanks around it in place, when
// line (ended by a NUL) is that header; null for any other line.
static const char *header_value(char *line, const char *name)
{
    const size_t name_length = std::strlen(name);
    if (!starts_with_ignoring_case(line, name) || line[name_length] != ':')
        return nullptr;
    char *value = line + name_length + 1;
    while (is_blank(*value))
        ++value;
    char *end = value + std::strlen(value);
    while (end > value && is_blank(end[-1]))
        --end;
    *end = '\0';
    return value;
}

// Copies a header's value, cut to ORIGIN_MAX bytes with control characters
// as '?'. Gives whether it was copied whole and had none.
static bool copy_header_value(const char *value, char (&out)[ORIGIN_MAX + 1])
{
    size_t length = std::strlen(value);
    bool whole = length <= ORIGIN_MAX;
    size_t shown = whole ? length : ORIGIN_MAX;
    for (size_t i = 0; i < shown; ++i) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        bool control = c < 0x20 || c == 0x7F;
        whole = whole && !control;
        out[i] = control ? '?' : value[i];
    }
    out[shown] = '\0';
    return whole;
}

// Notes one Origin header; a second one makes the origin unusable.
static void take_origin(RequestOrigin &origin, const char *value)
{
    bool usable = !origin.present && *value != '\0';
    origin.usable = copy_header_value(value, origin.text) && usable;
    origin.present = true;
}

// GET <request target> HTTP/<major>.<minor>, version 1.1 or later, the
// method in capitals as HTTP has it; the target may be any, even absolute.
static bool is_get_request_line(const char *line, size_t length)
{
    const char *end = line + length;
    if (length < sizeof REQUEST_LINE - 1 || std::strncmp(line, REQUEST_LINE, sizeof REQUEST_LINE - 1) != 0)
        return false;
    const char *target = line + sizeof REQUEST_LINE - 1;
    const char *blank = static_cast<const char *>(std::memchr(target, ' ', static_cast<size_t>(end - target)));
    if (!blank || blank == target)
        return false;
    const char *version = blank + 1;
    if (end - version < 8 || std::strncmp(version, "HTTP/", 5) != 0)
        return false;
    unsigned long numbers[2] = {0, 0};
    const char *p = version + 5;
    for (int part = 0; part < 2; ++part) {
        const char *digits = p;
        while (p < end && *p >= '0' && *p <= '9' && p - digits < 4)
            numbers[part] = numbers[part] * 10 + static_cast<unsigned long>(*p++ - '0');
        if (p == digits || (part == 0 && (p == end || *p++ != '.')))
            return false;
    }
    return p == end && (numbers[0] > 1 || (numbers[0] == 1 && numbers[1] >= 1));
}

HandshakeResult perform_handshake(FeedClient &client, RequestOrigin *origin, const char **fault)
{
    const char *unused_fault;
    const char *&why = fault ? *fault : unused_fault;
    why = nullptr;
    RequestOrigin unused;
    RequestOrigin &found = origin ? *origin : unused;
    found.present = found.usable = found.user_agent_sent = false;
    found.text[0] = found.user_agent[0] = '\0';

    char *head = client.receive_buffer;
    const char *blank_line = std::strstr(head, "\r\n\r\n");
    if (!blank_line) {
        // TCP may cut the head anywhere; only a full buffer means it never ends.
        if (client.receive_length < FEED_BUFFER_SIZE)
            return HANDSHAKE_WAITING;
        static char no_blank_line[64];
        std::snprintf(no_blank_line, sizeof no_blank_line, "no blank line in the first %zu bytes",
                      FEED_BUFFER_SIZE);
        why = no_blank_line;
        return HANDSHAKE_REFUSED;
    }
    // The head ends with its blank line: what a client sends behind it (a
    // body) is never read as headers.
    const size_t head_length = static_cast<size_t>(blank_line - head) + 4;
    size_t first_end = static_cast<size_t>(static_cast<const char *>(std::memchr(head, '\n', head_length)) - head);
    size_t first_length = first_end > 0 && head[first_end - 1] == '\r' ? first_end - 1 : first_end;
    if (!is_get_request_line(head, first_length)) {
        why = "not a GET request";
        return HANDSHAKE_REFUSED;
    }

    bool lone_carriage_return = std::memchr(head, '\r', first_length) != nullptr;
    char *line = head + first_end + 1;
    const char *key = nullptr;
    for (size_t i = first_end + 1; i < head_length; ++i) {
        if (head[i] == '\n') {
            line = head + i + 1;
        } else if (head[i] == '\r' && head[i + 1] != '\n') {
            lone_carriage_return = true;
        } else if (head[i] == '\r') {
            head[i] = '\0';
            if (const char *value = header_value(line, KEY_HEADER_NAME))
                key = value;
            else if (const char *origin_value = header_value(line, ORIGIN_HEADER_NAME))
                take_origin(found, origin_value);
            else if (const char *agent = header_value(line, USER_AGENT_HEADER_NAME)) {
                copy_header_value(agent, found.user_agent);
                found.user_agent_sent = true;
            }
        }
    }
    if (lone_carriage_return) {
        why = "carriage return without line feed";
        return HANDSHAKE_FAILED;
    }
    if (!key || *key == '\0' || std::strlen(key) > KEY_MAX) {
        why = "no usable Sec-WebSocket-Key";
        return HANDSHAKE_REFUSED;
    }

    char accept_value[KEY_BUFFER_SIZE];
    std::snprintf(accept_value, sizeof accept_value, KEY_SUFFIX_FORMAT, key);
    Sha1Digest digest;
    digest.update(accept_value);
    base64_encode(digest.finalize(), sizeof digest.digest_words, accept_value);

    int length = std::snprintf(client.send_buffer, FEED_BUFFER_SIZE, RESPONSE_FORMAT, accept_value);
    client.send_length = static_cast<uint64_t>(length);
    return HANDSHAKE_DONE;
}
