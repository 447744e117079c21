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
 * Only the key line matters; method, path, version and the other headers are
 * not judged. Header names ignore letter case (tornado writes
 * Sec-Websocket-Key, some clients every name in small letters), and blanks
 * may stand around the value. The answer carries base64(SHA-1(key + GUID))
 * as its accept value.
 */
static const char REQUEST_LINE[] = "GET ";
static const char KEY_HEADER_NAME[] = "Sec-WebSocket-Key";
static const char ORIGIN_HEADER_NAME[] = "Origin";
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

// Notes one Origin header; a second one makes the origin unusable.
static void take_origin(RequestOrigin &origin, const char *value)
{
    size_t length = std::strlen(value);
    bool usable = !origin.present && length > 0 && length <= ORIGIN_MAX;
    size_t shown = length <= ORIGIN_MAX ? length : ORIGIN_MAX;
    for (size_t i = 0; i < shown; ++i) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        bool control = c < 0x20 || c == 0x7F;
        usable = usable && !control;
        origin.text[i] = control ? '?' : value[i];
    }
    origin.text[shown] = '\0';
    origin.present = true;
    origin.usable = usable;
}

HandshakeResult perform_handshake(FeedClient &client, RequestOrigin *origin, const char **box_text)
{
    const char *unused_text;
    const char *&box = box_text ? *box_text : unused_text;
    box = nullptr;
    RequestOrigin unused;
    RequestOrigin &found = origin ? *origin : unused;
    found.present = found.usable = false;
    found.text[0] = '\0';

    char *head = client.receive_buffer;
    const char *head_end = std::strstr(head, "\r\n\r\n");
    if (!head_end) {
        // TCP may cut the head anywhere; only a full buffer means it never ends.
        if (client.receive_length < FEED_BUFFER_SIZE)
            return HANDSHAKE_WAITING;
        box = "NO HEADERS";
        return HANDSHAKE_FAILED;
    }

    char *line = head;
    const char *key = nullptr;
    for (uint64_t i = 0; i < client.receive_length; ++i) {
        if (head[i] == '\n') {
            line = head + i + 1;
        } else if (head[i] == '\r') {
            // The byte behind the last one received is the terminating NUL.
            if (head[i + 1] != '\n') {
                box = "INVALD HEADER";
                return HANDSHAKE_FAILED;
            }
            head[i] = '\0';
            if (std::strncmp(line, REQUEST_LINE, sizeof REQUEST_LINE - 1) == 0) {
                char *blank = std::strchr(line + sizeof REQUEST_LINE - 1, ' ');
                if (!blank)
                    return HANDSHAKE_REFUSED;
                *blank = '\0';
            } else if (const char *value = header_value(line, KEY_HEADER_NAME)) {
                key = value;
            } else if (line <= head_end) {
                // Only the head's own headers, not bytes sent behind it.
                if (const char *origin_value = header_value(line, ORIGIN_HEADER_NAME))
                    take_origin(found, origin_value);
            }
        }
    }
    if (!key || *key == '\0' || std::strlen(key) > KEY_MAX)
        return HANDSHAKE_REFUSED;

    char accept_value[KEY_BUFFER_SIZE];
    std::snprintf(accept_value, sizeof accept_value, KEY_SUFFIX_FORMAT, key);
    Sha1Digest digest;
    digest.update(accept_value);
    base64_encode(digest.finalize(), sizeof digest.digest_words, accept_value);

    int length = std::snprintf(client.send_buffer, FEED_BUFFER_SIZE, RESPONSE_FORMAT, accept_value);
    client.send_length = static_cast<uint64_t>(length);
    return HANDSHAKE_DONE;
}
