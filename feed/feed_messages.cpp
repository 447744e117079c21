// The two feed messages: the request sent, the update read and applied.
#include "feed/feed_messages.h"

#include "core/clock.h"
#include "core/field_links.h"
#include "core/registry.h"
#include "core/status_board.h"
#include "feed/feed_client.h"
#include "feed/frame_codec.h"
#include "feed/update_reader.h"

#include <cstring>

/*
 * Request, system to feed client, one per field the spreadsheets ask for:
 *     { "request" : "1234.lastprice" }
 * the item name plus 18 characters, the item inserted unchanged (items hold
 * nothing that JSON would escape). Updates: feed/update_reader.cpp.
 */
static const char REQUEST_OPENING[] = "{ \"request\" : \"";
static const char REQUEST_CLOSING[] = "\" }";

int send_request(const char *item)
{
    if (feed_client.state != FEED_OPEN)
        return 0;
    const char *pieces[] = {REQUEST_OPENING, item, REQUEST_CLOSING};
    const size_t sizes[] = {sizeof REQUEST_OPENING - 1, std::strlen(item), sizeof REQUEST_CLOSING - 1};
    return send_frame(OPCODE_TEXT, pieces, sizes, 3);
}

// Every update needs more than 16 bytes of the payload. Not on the stack:
// frames are handled inside message boxes and DDE calls too, where it is
// small; nothing that runs while updates are applied reads another frame.
static FeedUpdate updates[FEED_BUFFER_SIZE / 16];

// Stores one update's value, received at `received` (a system time), and
// tells every face linked to its item.
static void apply_one(const FeedUpdate &update, const char *message, uint64_t received, bool *shown)
{
    char number[UPDATE_VALUE_MAX + 1];
    const char *value = update.value;
    if (update.kind == UPDATE_NUMBER) {
        std::memcpy(number, update.value, update.value_length);
        number[update.value_length] = '\0';
        value = number;
    } else if (update.kind == UPDATE_TEXT) {
        if (update.value_length == 0)
            return;  // an empty value changes nothing
        // "null" in quotes clears the field, as feeds written before null did.
        if (std::strcmp(value, "null") == 0)
            value = nullptr;
    }

    EnterCriticalSection(&registry_lock);
    Instrument *instrument = find_instrument(update.insref);
    InstrumentField *field = instrument ? find_field(instrument, update.field) : nullptr;
    // Fields nobody asked for are dropped silently: feeds that push
    // instruments of their own must not flood the status line.
    if (field && !set_value(field, value)) {
        print_status(STATUS_ERROR, "Value dropped, out of memory: %s", update.key);
        field = nullptr;
    }
    if (field) {
        // Every value moves the field's time, the same value and null too.
        field->updated = received;
        if (!*shown)
            print_status(STATUS_RECEIVED, "Last receieved: %s", message);
        *shown = true;
        if (field_changed)
            field_changed(update.key, place_of(instrument, field));
    }
    LeaveCriticalSection(&registry_lock);
}

void apply_update(char *payload, size_t length)
{
    // Reading decodes the payload in place: the status lines show it as it came.
    char message[STATUS_LINE_SIZE];
    size_t shown_length = strnlen(payload, length < sizeof message - 1 ? length : sizeof message - 1);
    std::memcpy(message, payload, shown_length);
    message[shown_length] = '\0';

    int count = read_updates(payload, length, updates, sizeof updates / sizeof updates[0]);
    if (count < 0) {
        print_status(STATUS_ERROR, "Invalid receieved: %s", message);
        return;
    }
    bool shown = false;
    // Once per message: its updates all arrived at this instant.
    uint64_t received = read_system_time();
    for (int i = 0; i < count; ++i)
        apply_one(updates[i], message, received, &shown);
}
