#include "feed/frames.h"

#include "core/item_name.h"
#include "core/registry.h"
#include "core/status_board.h"

#include <cstring>

/*
 * Frame layout (RFC 6455 base framing, multi-byte numbers big-endian):
 *     byte 0      FIN (bit 7), reserved (bits 4-6), opcode (bits 0-3)
 *     byte 1      MASK (bit 7), length code (bits 0-6)
 *     2 or 8      the payload length, for length code 126 or 127 only
 *     4           the mask key, when MASK is set
 *     payload     length code 0-125 is the payload length itself
 * e.g. 81 20 7b 20 22 72 ...   an unmasked text frame of 32 bytes.
 *
 * Every frame is a whole message of its own: FIN and the reserved bits are
 * not looked at, and fragments are not joined.
 */
constexpr unsigned char MASK_BIT = 0x80;
constexpr unsigned char TEXT_FRAME = 0x81;  // FIN, text
constexpr unsigned char PONG_FRAME = 0x8A;  // FIN, pong
constexpr int PING_OPCODE = 9;
constexpr int CLOSE_OPCODE = 8;

// Close status codes (RFC 6455, 7.4): the client's own code is echoed when
// an endpoint may send it; otherwise, and for a close without one, 1000.
constexpr unsigned short CLOSE_NORMAL = 1000;
constexpr unsigned short CLOSE_PROTOCOL_ERROR = 1002;
constexpr unsigned short CLOSE_TOO_BIG = 1009;

/*
 * Request, system to feed client, one per field the spreadsheets ask for:
 *     { "request" : "1234.lastprice" }
 * the item name plus 18 characters, the item inserted unchanged.
 *
 * Update, feed client to system:
 *     {"key":"1234.lastprice","value":"12.5"}
 * The text is not parsed as JSON: each member is found by its key text and
 * must be a quoted text without escapes; members may come in either order,
 * and anything else in the text is passed over. The value "null" in quotes
 * clears the field.
 */
static const char REQUEST_OPENING[] = "{ \"request\" : \"";
static const char REQUEST_CLOSING[] = "\" }";
static const char KEY_TEXT[] = "\"key\":";
static const char VALUE_TEXT[] = "\"value\":";

uint64_t network_to_host64(uint64_t value)
{
    const uint32_t one = 1;
    unsigned char first_byte;
    std::memcpy(&first_byte, &one, 1);
    if (first_byte == 0)
        return value;  // a big-endian host already has network order
    uint32_t low_half = static_cast<uint32_t>(value);
    uint32_t high_half = static_cast<uint32_t>(value >> 32);
    return (static_cast<uint64_t>(ntohl(low_half)) << 32) | ntohl(high_half);
}

int send_frame(unsigned char first_byte, const char *const pieces[], const size_t sizes[],
                      int piece_count)
{
    uint64_t payload_length = 0;
    for (int i = 0; i < piece_count; ++i)
        payload_length += sizes[i];

    unsigned char header[10];
    size_t header_size = 2;
    header[0] = first_byte;
    if (payload_length <= 125) {
        header[1] = static_cast<unsigned char>(payload_length);
    } else if (payload_length <= 0xFFFF) {
        header[1] = 126;
        u_short length = htons(static_cast<u_short>(payload_length));
        std::memcpy(header + 2, &length, 2);
        header_size = 4;
    } else {
        header[1] = 127;
        uint64_t length = network_to_host64(payload_length);  // the same swap both ways
        std::memcpy(header + 2, &length, 8);
        header_size = 10;
    }

    bool queued = queue_for_client(header, header_size);
    for (int i = 0; queued && i < piece_count; ++i)
        queued = queue_for_client(pieces[i], sizes[i]);
    if (!queued) {
        // Part of a frame may be queued: the stream is broken for this client.
        disconnect_feed_client();
        return -1;
    }
    return send_queued(feed_client.socket);
}

int send_request(const char *item)
{
    if (feed_client.state != FEED_OPEN)
        return 0;
    const char *pieces[] = {REQUEST_OPENING, item, REQUEST_CLOSING};
    const size_t sizes[] = {sizeof REQUEST_OPENING - 1, std::strlen(item), sizeof REQUEST_CLOSING - 1};
    return send_frame(TEXT_FRAME, pieces, sizes, 3);
}

size_t frame_header_size(unsigned char second_byte)
{
    size_t size = 2;
    unsigned char length_code = second_byte & 0x7F;
    if (length_code == 126)
        size += 2;
    else if (length_code == 127)
        size += 8;
    if (second_byte & MASK_BIT)
        size += 4;
    return size;
}

uint64_t decode_frame_header(const unsigned char *frame, bool masked, size_t &header_size,
                             unsigned char mask_key[4])
{
    unsigned char length_code = frame[1] & 0x7F;
    uint64_t payload_length = length_code;
    if (length_code == 126) {
        u_short length;
        std::memcpy(&length, frame + 2, 2);
        payload_length = ntohs(length);
    } else if (length_code == 127) {
        uint64_t length;
        std::memcpy(&length, frame + 2, 8);
        payload_length = network_to_host64(length);
    }
    header_size = frame_header_size(static_cast<unsigned char>(length_code | (masked ? MASK_BIT : 0)));
    if (masked)
        std::memcpy(mask_key, frame + header_size - 4, 4);  // the key ends the header
    return payload_length;
}

bool extract_quoted_value(const char *text, const char *key_text, char *output, size_t size)
{
    const char *p = std::strstr(text, key_text);
    if (!p || size == 0)
        return false;
    p += std::strlen(key_text);
    // Only blanks may stand before the opening quote: a member that is not a
    // quoted text must not lend us the next member's text.
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
        ++p;
    if (*p != '"')
        return false;
    ++p;
    size_t copied = 0;
    while (p[copied] != '\0' && p[copied] != '"' && copied < size - 1) {
        output[copied] = p[copied];
        ++copied;
    }
    if (copied == 0)
        return false;
    output[copied] = '\0';
    return true;
}

// The number of bytes at the end of text[0..length) that begin a UTF-8
// character without finishing it.
static size_t unfinished_utf8_tail(const char *text, size_t length)
{
    for (size_t back = 1; back <= 4 && back <= length; ++back) {
        unsigned char byte = static_cast<unsigned char>(text[length - back]);
        if ((byte & 0xC0) == 0x80)
            continue;  // a continuation byte: look further back for the lead
        size_t needed = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return needed > back ? back : 0;
    }
    return 0;
}

// Browsers send UTF-8, while cells and the DDE side speak the ANSI code page.
// A value that is not valid UTF-8 is kept as it came.
static void convert_utf8_to_ansi(char *value, size_t size)
{
    size_t length = std::strlen(value);
    bool ascii = true;
    for (size_t i = 0; i < length && ascii; ++i)
        ascii = static_cast<unsigned char>(value[i]) < 0x80;
    if (ascii)
        return;
    // A value cut at its limit may end inside a character; that character is dropped.
    if (length == size - 1)
        length -= unfinished_utf8_tail(value, length);

    WCHAR wide[FEED_TEXT_SIZE];
    int wide_length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, value,
                                          static_cast<int>(length), wide, FEED_TEXT_SIZE);
    if (wide_length <= 0)
        return;
    char ansi[FEED_TEXT_SIZE];
    int ansi_length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, wide_length, ansi,
                                          static_cast<int>(sizeof ansi - 1), "?", nullptr);
    if (ansi_length <= 0 || static_cast<size_t>(ansi_length) >= size)
        return;
    std::memcpy(value, ansi, static_cast<size_t>(ansi_length));
    value[ansi_length] = '\0';
}

// Stores an update's value and has every cell linked to its item fetch it.
static void apply_update(DWORD instance, HSZ topic, const char *text)
{
    char key_text[FEED_TEXT_SIZE];
    char value_text[FEED_TEXT_SIZE];
    if (!extract_quoted_value(text, KEY_TEXT, key_text, sizeof key_text))
        return;
    if (!extract_quoted_value(text, VALUE_TEXT, value_text, sizeof value_text))
        return;
    // Only the exact item names the program asks for: a key that merely
    // reads as one (" 1234.x", "+1234.x", "01234.x", "1234abc.x") would
    // overwrite the field behind every cell's back.
    unsigned long long insref;
    const char *field_name;
    if (!is_sound_item_name(key_text, std::strlen(key_text), &insref, &field_name)) {
        print_status(4, "Invalid receieved: %s", text);
        return;
    }
    convert_utf8_to_ansi(value_text, sizeof value_text);

    EnterCriticalSection(&registry_lock);
    Instrument *instrument = find_instrument(insref);
    InstrumentField *field = instrument ? find_field(instrument, field_name) : nullptr;
    // Fields nobody asked for are dropped silently: feeds that push
    // instruments of their own must not flood the status line.
    if (field && !set_value(field, std::strcmp(value_text, "null") == 0 ? nullptr : value_text)) {
        print_status(4, "Value dropped, out of memory: %s", key_text);
        field = nullptr;
    }
    if (field) {
        HSZ item = DdeCreateStringHandleA(instance, key_text, CP_WINANSI);
        print_status(2, "Last receieved: %s", text);
        // The DDE library calls back for every advise loop on the item before
        // this returns; the callback takes registry_lock again on this thread.
        DdePostAdvise(instance, topic, item);
        if (item)
            DdeFreeStringHandle(instance, item);
    }
    LeaveCriticalSection(&registry_lock);
}

// The code to answer a client's close frame with: its own when an endpoint
// may send it (1000-1003, 1007-1011, 3000-4999), else 1000.
static unsigned short close_code_to_echo(const unsigned char *payload, size_t length)
{
    if (length < 2)
        return CLOSE_NORMAL;
    unsigned code = (static_cast<unsigned>(payload[0]) << 8) | payload[1];
    bool sendable = (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1011) ||
                    (code >= 3000 && code <= 4999);
    return sendable ? static_cast<unsigned short>(code) : CLOSE_NORMAL;
}

int handle_frame(DWORD instance, HSZ topic, FeedClient &client, uint64_t &frame_offset)
{
    if (frame_offset >= client.receive_length)
        return 0;
    uint64_t available = client.receive_length - frame_offset;
    unsigned char *frame = reinterpret_cast<unsigned char *>(client.receive_buffer) + frame_offset;
    if (available < 2 || available < frame_header_size(frame[1]))
        return 0;

    bool masked = (frame[1] & MASK_BIT) != 0;
    size_t header_size;
    unsigned char mask_key[4] = {0, 0, 0, 0};
    uint64_t payload_length = decode_frame_header(frame, masked, header_size, mask_key);
    if (payload_length > FEED_BUFFER_SIZE - header_size) {
        close_feed_client(CLOSE_TOO_BIG);  // could never be whole in receive_buffer
        return -1;
    }
    if (payload_length > available - header_size)
        return 0;

    size_t length = static_cast<size_t>(payload_length);
    unsigned char *payload = frame + header_size;
    if (masked) {
        for (size_t i = 0; i < length; ++i)
            payload[i] ^= mask_key[i % 4];
    }
    // The payload is read as a text: a NUL goes behind it for the time being,
    // over the first byte of the next frame, if one follows.
    unsigned char *end = payload + length;
    unsigned char byte_behind = *end;
    *end = 0;

    int opcode = frame[0] & 0x0F;
    frame_offset += header_size + length;
    int result = 1;
    if ((opcode & 9) == 9) {
        // Libraries that feed clients are built on drop a server that leaves pings unanswered.
        if (opcode == PING_OPCODE) {
            const char *pieces[] = {reinterpret_cast<const char *>(payload)};
            const size_t sizes[] = {length};
            if (send_frame(PONG_FRAME, pieces, sizes, 1) != 0)
                result = -1;
        }
    } else if ((opcode & 10) == 10) {
        // pong and reserved control codes: ignored
    } else if (opcode & 8) {
        close_feed_client(opcode == CLOSE_OPCODE ? close_code_to_echo(payload, length)
                                                 : CLOSE_PROTOCOL_ERROR);
        result = -1;
    } else {
        apply_update(instance, topic, reinterpret_cast<const char *>(payload));
    }
    *end = byte_behind;
    return result;
}
