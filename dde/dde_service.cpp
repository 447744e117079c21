#include "dde/dde_service.h"

#include "core/item_name.h"
#include "core/registry.h"
#include "core/status_board.h"
#include "dde/dde_render.h"
#include "feed/feed_client.h"
#include "feed/frames.h"

#include <cstdio>

DWORD dde_instance;
HSZ service_name;
HSZ topic_name;
UINT xltable_format;

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
    feed_client.state = FEED_NONE;
    return 1;
}

// Copies the item's name into buf (ITEM_NAME_MAX + 1 bytes) and gives its
// full length, so that a name cut by the copy is still recognised as too long.
static size_t copy_item_name(HSZ item, char *buf)
{
    size_t full_length = DdeQueryStringA(dde_instance, item, nullptr, 0, CP_WINANSI);
    buf[0] = '\0';
    DdeQueryStringA(dde_instance, item, buf, static_cast<DWORD>(ITEM_NAME_MAX + 1), CP_WINANSI);
    return full_length;
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
    char name[ITEM_NAME_MAX + 1];
    size_t full_length = copy_item_name(item, name);
    unsigned long long insref;
    const char *field;
    if (!is_sound_item_name(name, full_length, &insref, &field))
        return FALSE;

    EnterCriticalSection(&registry_lock);
    AdviseResult result = start_advise(insref, field);
    if (result == ADVISE_NEW_FIELD)
        send_request(name);
    LeaveCriticalSection(&registry_lock);
    return result != ADVISE_FAILED;
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
    paint_status_lines();

    EnterCriticalSection(&registry_lock);
    char name[ITEM_NAME_MAX + 1];
    size_t full_length = copy_item_name(item, name);
    unsigned long long insref;
    const char *field;
    if (!is_sound_item_name(name, full_length, &insref, &field)) {
        if (!parse_item_name(name, &insref, &field)) {
            print_status(4, "Invalid insref %llu", insref);
            LeaveCriticalSection(&registry_lock);
        } else {
            LeaveCriticalSection(&registry_lock);
            print_status(4, "Invalid field %llu (%s)", insref, field);
        }
        return nullptr;
    }
    Instrument *instrument = find_instrument(insref);
    if (!instrument) {
        LeaveCriticalSection(&registry_lock);
        print_status(4, "No instrument found for insref: %llu", insref);
        return nullptr;
    }
    InstrumentField *entry = find_field(instrument, field);
    if (!entry) {
        LeaveCriticalSection(&registry_lock);
        print_status(4, "Field not found for insref: %llu", insref);
        return nullptr;
    }
    HDDEDATA data;
    if (entry->value) {
        data = render_dde_data(format, item, entry->value);
        print_status(3, "Dde last message: \"%s\"", entry->value);
    } else {
        data = render_dde_data(format, item, " ");
        print_status(3, "Dde last message: \"null\"");
    }
    LeaveCriticalSection(&registry_lock);
    return data;
}

// Advise stop: the topic is not compared; an unknown item changes nothing.
static void on_advise_stop(HSZ item)
{
    if (!item)
        return;
    char name[ITEM_NAME_MAX + 1];
    size_t full_length = copy_item_name(item, name);
    unsigned long long insref;
    const char *field;
    if (!is_sound_item_name(name, full_length, &insref, &field))
        return;
    EnterCriticalSection(&registry_lock);
    stop_advise(insref, field);
    LeaveCriticalSection(&registry_lock);
}

HDDEDATA CALLBACK dde_callback(UINT type, UINT format, HCONV, HSZ topic, HSZ item, HDDEDATA,
                               ULONG_PTR, ULONG_PTR)
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
