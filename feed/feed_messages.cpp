// The two feed messages: the request sent, the update read and applied.
#include "feed/feed_messages.h"

#include "core/item_name.h"
#include "core/registry.h"
#include "core/status_board.h"
#include "feed/feed_client.h"
#include "feed/frame_codec.h"

#include <cstring>

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

int send_request(const char *item)
{
    if (feed_client.state != FEED_OPEN)
        return 0;
    const char *pieces[] = {REQUEST_OPENING, item, REQUEST_CLOSING};
    const size_t sizes[] = {sizeof REQUEST_OPENING - 1, std::strlen(item), sizeof REQUEST_CLOSING - 1};
    return send_frame(OPCODE_TEXT, pieces, sizes, 3);
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
    int wide_length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, value, static_cast<int>(length),
                                          wide, FEED_TEXT_SIZE);
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
void apply_update(DWORD instance, HSZ topic, const char *text)
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
        print_status(STATUS_ERROR, "Invalid receieved: %s", text);
        return;
    }
    convert_utf8_to_ansi(value_text, sizeof value_text);

    EnterCriticalSection(&registry_lock);
    Instrument *instrument = find_instrument(insref);
    InstrumentField *field = instrument ? find_field(instrument, field_name) : nullptr;
    // Fields nobody asked for are dropped silently: feeds that push
    // instruments of their own must not flood the status line.
    if (field && !set_value(field, std::strcmp(value_text, "null") == 0 ? nullptr : value_text)) {
        print_status(STATUS_ERROR, "Value dropped, out of memory: %s", key_text);
        field = nullptr;
    }
    if (field) {
        HSZ item = DdeCreateStringHandleA(instance, key_text, CP_WINANSI);
        print_status(STATUS_RECEIVED, "Last receieved: %s", text);
        // The DDE library calls back for every advise loop on the item before
        // this returns; the callback takes registry_lock again on this thread.
        DdePostAdvise(instance, topic, item);
        if (item)
            DdeFreeStringHandle(instance, item);
    }
    LeaveCriticalSection(&registry_lock);
}
