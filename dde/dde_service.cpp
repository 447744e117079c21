#include "dde/dde_service.h"

#include "core/field_links.h"
#include "core/item_name.h"
#include "core/registry.h"
#include "core/status_board.h"
#include "core/text_encoding.h"
#include "core/topic_names.h"
#include "dde/dde_render.h"
#include "dde/dde_status.h"

#include <cstdio>

DWORD dde_instance;
HSZ service_name;
HSZ topic_name;
HSZ time_topic_name;
UINT xltable_format;
uint64_t dde_advise_loops;

BOOL dde_start(DdeStartReport *report)
{
    report->fatal = true;
    if (DdeInitializeA(&dde_instance, dde_callback, 0, 0) != DMLERR_NO_ERROR) {
        report->text = "DDEInitialize error";
        std::snprintf(report->caption, sizeof report->caption, "%x", DdeGetLastError(dde_instance));
        dde_instance = 0;
        return FALSE;
    }
    service_name = DdeCreateStringHandleA(dde_instance, "Quellvarden", CP_WINANSI);
    if (!service_name) {
        report->text = "SERVICE FAIL";
        std::snprintf(report->caption, sizeof report->caption, "%d",
                      static_cast<int>(DdeGetLastError(dde_instance)));
        DdeUninitialize(dde_instance);
        dde_instance = 0;
        return FALSE;
    }
    topic_name = DdeCreateStringHandleA(dde_instance, "Quote", 0);
    if (!DdeNameService(dde_instance, service_name, nullptr, DNS_REGISTER)) {
        report->fatal = false;
        report->text = "DDE Nameservice failed";
        std::snprintf(report->caption, sizeof report->caption, "DDE Error");
        return FALSE;
    }
    xltable_format = RegisterClipboardFormatA("XlTable");
    return TRUE;
}

// Each post calls the DDE callback before it returns (docs/one-thread.md: lock).
void post_advise(const char *item, FieldPlace place)
{
    if (!dde_instance || dde_advise_loops == 0)
        return;
    HSZ handle = DdeCreateStringHandleA(dde_instance, item, CP_WINANSI);
    DdePostAdvise(dde_instance, topic_name, handle);
    // Windows matches advise loops by topic and item: the field's Time links
    // need a post of their own, and only a field that has some pays for it.
    if (field_at(place)->time_links) {
        if (!time_topic_name)
            time_topic_name = DdeCreateStringHandleA(dde_instance, "Time", CP_WINANSI);
        if (time_topic_name)
            DdePostAdvise(dde_instance, time_topic_name, handle);
    }
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

// Which of the three topics the handle names, in any letter case. Quote is
// compared first, by its handle: a value's path costs what it always did.
static bool read_topic(HSZ topic, TopicKind *kind)
{
    if (!topic)
        return false;
    if (DdeCmpStringHandles(topic, topic_name) == 0) {
        *kind = TOPIC_QUOTE;
        return true;
    }
    char name[8];  // the longest topic word and its NUL
    if (DdeQueryStringA(dde_instance, topic, nullptr, 0, CP_WINANSI) >= sizeof name)
        return false;
    name[0] = '\0';
    DdeQueryStringA(dde_instance, topic, name, static_cast<DWORD>(sizeof name), CP_WINANSI);
    return find_topic(name, kind);
}

// Whether the conversation's own topic is `kind`; true when it cannot be
// told, so that the transaction's topic decides.
static bool conversation_on(HCONV conversation, TopicKind kind)
{
    CONVINFO info = {};
    info.cb = sizeof info;
    TopicKind own;
    if (!DdeQueryConvInfo(conversation, QID_SYNC, &info) || !read_topic(info.hszTopic, &own))
        return true;
    return own == kind;
}

/*
 * Advise start: a spreadsheet links a cell to Quote!<insref>.<field>, or
 * to Time!<insref>.<field>, which links the field just as Quote does. Any
 * clipboard format is accepted. A field seen for the first time is asked of
 * the feed client at once; later cells on the same item share it.
 * Status!<item> links no field (dde_status.cpp).
 */
static BOOL on_advise_start(HSZ topic, HSZ item)
{
    TopicKind kind;
    if (!item || !read_topic(topic, &kind))
        return FALSE;
    if (kind == TOPIC_STATUS)
        return status_advise_start(item);
    ItemText text;
    read_item(item, text);
    if (!text.sound)
        return FALSE;

    EnterCriticalSection(&registry_lock);
    FieldPlace place;
    AdviseResult result =
        link_field(text.insref, text.field, text.name, "DDE", kind == TOPIC_TIME ? &place : nullptr);
    // Never past advise_count, which counts this loop too.
    if (result != ADVISE_FAILED && kind == TOPIC_TIME)
        ++field_at(place)->time_links;
    LeaveCriticalSection(&registry_lock);
    if (result == ADVISE_FAILED)
        return FALSE;
    ++dde_advise_loops;
    return TRUE;
}

// The value of a field for a data request, or its time (Time), rendered;
// what it shows goes to the status lines, a time excepted. Called with
// registry_lock held.
static HDDEDATA field_data(UINT format, HSZ item, const ItemText &text, TopicKind kind, HCONV advised)
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
    // Wine's DDE library hands every post to each advise loop on the item and
    // names the post's topic, not the loop's: a loop of the field's other
    // topic takes nothing from it, and its value from its own post.
    if (advised && entry->time_links && !conversation_on(advised, kind))
        return nullptr;
    if (kind == TOPIC_TIME)
        return render_dde_time(format, item, entry->updated);
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
 * posted a new value (advised: the loop's conversation): the field's value,
 * or a single blank while it has none; on Time the time it last came, a
 * single blank until then. Requests never add to the registry.
 */
static HDDEDATA on_data_request(UINT format, HSZ topic, HSZ item, HCONV advised)
{
    TopicKind kind;
    if (!item || !read_topic(topic, &kind))
        return nullptr;
    if (kind == TOPIC_STATUS)
        return status_data(format, item);
    EnterCriticalSection(&registry_lock);
    ItemText text;
    read_item(item, text);
    HDDEDATA data = field_data(format, item, text, kind, advised);
    LeaveCriticalSection(&registry_lock);
    return data;
}

// Advise stop: any topic but Time and Status counts as Quote, as it always
// did; an unknown item changes nothing.
static void on_advise_stop(HSZ topic, HSZ item)
{
    if (!item)
        return;
    TopicKind kind = TOPIC_QUOTE;
    if (!read_topic(topic, &kind))
        kind = TOPIC_QUOTE;
    if (kind == TOPIC_STATUS) {
        status_advise_stop(item);
        return;
    }
    ItemText text;
    read_item(item, text);
    if (!text.sound)
        return;
    EnterCriticalSection(&registry_lock);
    Instrument *instrument = find_instrument(text.insref);
    InstrumentField *field = instrument ? find_field(instrument, text.field) : nullptr;
    if (field && kind == TOPIC_TIME && field->time_links > 0)
        --field->time_links;
    // The library stops only loops it started, which were counted.
    if (field && field->advise_count > 0 && dde_advise_loops > 0)
        --dde_advise_loops;
    stop_advise(text.insref, text.field);
    // A stop named by another topic may end the loops the Time count holds.
    if (field && field->time_links > field->advise_count)
        field->time_links = field->advise_count;
    LeaveCriticalSection(&registry_lock);
}

HDDEDATA CALLBACK dde_callback(UINT type, UINT format, HCONV conversation, HSZ topic, HSZ item, HDDEDATA,
                               ULONG_PTR, ULONG_PTR)
{
    switch (type) {
    case XTYP_CONNECT:
        return reinterpret_cast<HDDEDATA>(static_cast<INT_PTR>(TRUE));
    case XTYP_ADVSTART:
        return reinterpret_cast<HDDEDATA>(static_cast<INT_PTR>(on_advise_start(topic, item)));
    case XTYP_ADVREQ:
        return on_data_request(format, topic, item, conversation);
    case XTYP_REQUEST:
        return on_data_request(format, topic, item, nullptr);
    case XTYP_ADVDATA:
        return reinterpret_cast<HDDEDATA>(static_cast<INT_PTR>(DDE_FACK));
    case XTYP_ADVSTOP:
        on_advise_stop(topic, item);
        return nullptr;
    default:
        return nullptr;
    }
}
