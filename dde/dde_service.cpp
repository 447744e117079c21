#include "dde/dde_service.h"

#include "core/field_links.h"
#include "core/item_name.h"
#include "core/registry.h"
#include "core/status_board.h"
#include "core/text_encoding.h"
#include "dde/dde_render.h"

#include <cstdio>

DWORD dde_instance;
HSZ service_name;
HSZ topic_name;
UINT xltable_format;
uint64_t dde_advise_loops;

int dde_start()
{
    char code[100];
    if (DdeInitializeA(&dde_instance, dde_callback, 0, 0) != DMLERR_NO_ERROR) {
        std::snprintf(code, sizeof code, "%x", DdeGetLastError(dde_instance));
        MessageBoxA(nullptr, "DDEInitialize error", code, MB_OK);
        ExitProcess(0);
    }
    service_name = DdeCreateStringHandleA(dde_instance, "Quellvarden", CP_WINANSI);
    if (!service_name) {
        std::snprintf(code, sizeof code, "%d", static_cast<int>(DdeGetLastError(dde_instance)));
        MessageBoxA(nullptr, "SERVICE FAIL", code, MB_OK);
        ExitProcess(0);
    }
    topic_name = DdeCreateStringHandleA(dde_instance, "Quote", 0);
    if (!DdeNameService(dde_instance, service_name, nullptr, DNS_REGISTER)) {
        MessageBoxA(nullptr, "DDE Nameservice failed", "DDE Error", MB_OK);
        return 0;
    }
    xltable_format = RegisterClipboardFormatA("XlTable");
    return 1;
}

void post_advise(const char *item)
{
    if (!dde_instance || dde_advise_loops == 0)
        return;
    HSZ handle = DdeCreateStringHandleA(dde_instance, item, CP_WINANSI);
    DdePostAdvise(dde_instance, topic_name, handle);
    if (handle)
        DdeFreeStringHandle(dde_instance, handle);
}

// An item name as the library hands it: the copy (at most ITEM_NAME_MAX
// characters), and what the lenient and the strict readings make of it.
struct ItemText {
    char name[ITEM_NAME_MAX + 1];
    unsigned long long insref;
    const char *field;  // inside name; null when not even the lenient reading takes it
    bool sound;         // an item that can travel to the feed client and back
};

// Reads the item's name, so that a name cut by the copy is still recognised
// as too long: its full length is asked of the library first.
static void read_item(HSZ item, ItemText &text)
{
    size_t full_length = DdeQueryStringA(dde_instance, item, nullptr, 0, CP_WINANSI);
    text.name[0] = '\0';
    DdeQueryStringA(dde_instance, item, text.name, static_cast<DWORD>(sizeof text.name), CP_WINANSI);
    text.sound = is_sound_item_name(text.name, full_length, &text.insref, &text.field);
    if (!text.sound)
        parse_item_name(text.name, &text.insref, &text.field);
}

static bool is_our_topic(HSZ topic)
{
    return topic && DdeCmpStringHandles(topic, topic_name) == 0;
}

/*
 * Advise start: a spreadsheet links a cell to Quote!<insref>.<field>. Any
 * clipboard format is accepted. A field seen for the first time is asked of
 * the feed client at once; later cells on the same item share it.
 */
static BOOL on_advise_start(HSZ topic, HSZ item)
{
    if (!item || !is_our_topic(topic))
        return FALSE;
    ItemText text;
    read_item(item, text);
    if (!text.sound)
        return FALSE;

    EnterCriticalSection(&registry_lock);
    AdviseResult result = link_field(text.insref, text.field, text.name, nullptr);
    LeaveCriticalSection(&registry_lock);
    if (result == ADVISE_FAILED)
        return FALSE;
    ++dde_advise_loops;
    return TRUE;
}

// The value of a field for a data request, rendered; what it shows goes to
// the status lines. Called with registry_lock held.
static HDDEDATA field_data(UINT format, HSZ item, const ItemText &text)
{
    if (!text.sound) {
        if (!text.field)
            print_status(STATUS_ERROR, "Invalid insref %llu", text.insref);
        else
            print_status(STATUS_ERROR, "Invalid field %llu (%s)", text.insref, text.field);
        return nullptr;
    }
    Instrument *instrument = find_instrument(text.insref);
    if (!instrument) {
        print_status(STATUS_ERROR, "No instrument found for insref: %llu", text.insref);
        return nullptr;
    }
    InstrumentField *entry = find_field(instrument, text.field);
    if (!entry) {
        print_status(STATUS_ERROR, "Field not found for insref: %llu", text.insref);
        return nullptr;
    }
    if (!entry->value) {
        print_status(STATUS_DDE, "Dde last message: \"null\"");
        return render_dde_data(format, item, " ");
    }
    char ansi[VALUE_TEXT_SIZE];
    value_to_ansi(entry->value, ansi, sizeof ansi);
    print_status(STATUS_DDE, "Dde last message: \"%s\"", ansi);
    return render_dde_data(format, item, entry->value);
}

/*
 * Data request, for a one-time request and for each advise loop when the feed
 * posted a new value: the field's value, or a single blank while it has none.
 * Requests never add to the registry.
 */
static HDDEDATA on_data_request(UINT format, HSZ topic, HSZ item)
{
    if (!item || !is_our_topic(topic))
        return nullptr;
    EnterCriticalSection(&registry_lock);
    ItemText text;
    read_item(item, text);
    HDDEDATA data = field_data(format, item, text);
    LeaveCriticalSection(&registry_lock);
    return data;
}

// Advise stop: the topic is not compared; an unknown item changes nothing.
static void on_advise_stop(HSZ item)
{
    if (!item)
        return;
    ItemText text;
    read_item(item, text);
    if (!text.sound)
        return;
    EnterCriticalSection(&registry_lock);
    Instrument *instrument = find_instrument(text.insref);
    InstrumentField *field = instrument ? find_field(instrument, text.field) : nullptr;
    // The library stops only loops it started, which were counted.
    if (field && field->advise_count > 0 && dde_advise_loops > 0)
        --dde_advise_loops;
    stop_advise(text.insref, text.field);
    LeaveCriticalSection(&registry_lock);
}

HDDEDATA CALLBACK dde_callback(UINT type, UINT format, HCONV, HSZ topic, HSZ item, HDDEDATA, ULONG_PTR,
                               ULONG_PTR)
{
    switch (type) {
    case XTYP_CONNECT:
        return reinterpret_cast<HDDEDATA>(static_cast<INT_PTR>(TRUE));
    case XTYP_ADVSTART:
        return reinterpret_cast<HDDEDATA>(static_cast<INT_PTR>(on_advise_start(topic, item)));
    case XTYP_ADVREQ:
    case XTYP_REQUEST:
        return on_data_request(format, topic, item);
    case XTYP_ADVDATA:
        return reinterpret_cast<HDDEDATA>(static_cast<INT_PTR>(DDE_FACK));
    case XTYP_ADVSTOP:
        on_advise_stop(item);
        return nullptr;
    default:
        return nullptr;
    }
}
