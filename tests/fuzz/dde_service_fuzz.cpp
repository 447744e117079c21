// DDE item names through the transaction callback, for every transaction
// type, in any order, on the topics Quote and Time (in a conversation on
// Quote): the registry only ever holds sound items, its counts agree with
// its fields, a field's Time links are counted within its advise count,
// the lock is released after every transaction, a data request for a
// linked field always gets its value (or its time, on Time), unless it is
// an advise request of the field's other topic, and the feed client is
// asked for every field exactly once.
//
// Input: records of three bytes and an item name:
//   byte 0   the transaction type (one of the sixteen, by its value mod 16)
//   byte 1   bits 0-1 the format (XlTable, XlTable sign-extended as Wine
//            hands it, CF_TEXT, or the byte itself); bits 2-3 the topic
//            (Quote, time, Other, none); bit 4 no item handle at all
//   byte 2   the item name's length; then the name, up to its first NUL
#include "core/registry.h"
#include "core/status_board.h"
#include "dde/dde_service.h"
#include "feed/feed_client.h"
#include "standin.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/program_driver.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

static const UINT TYPES[16] = {
    XTYP_ERROR,      XTYP_ADVDATA,         XTYP_ADVREQ,        XTYP_ADVSTART, XTYP_ADVSTOP,  XTYP_EXECUTE,
    XTYP_CONNECT,    XTYP_CONNECT_CONFIRM, XTYP_XACT_COMPLETE, XTYP_POKE,     XTYP_REGISTER, XTYP_REQUEST,
    XTYP_DISCONNECT, XTYP_UNREGISTER,      XTYP_WILDCONNECT,   XTYP_MONITOR,
};
static const char *const TOPICS[4] = {"Quote", "time", "Other", nullptr};  // the first two are ours
enum { ON_QUOTE, ON_TIME, ON_OTHER, ON_NONE };

// The item rule as the README states it, written out on its own.
static bool is_sound_item(const std::string &item)
{
    size_t dot = item.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == item.size() || item.size() > 99 || item[0] == '0')
        return false;
    for (size_t i = 0; i < dot; ++i) {
        if (item[i] < '0' || item[i] > '9')
            return false;
    }
    if (dot > 20 || (dot == 20 && item.compare(0, 20, "18446744073709551615") > 0))
        return false;
    for (unsigned char c : item) {
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\')
            return false;
    }
    return true;
}

// Every field of the registry by its item name, with its advise count; its
// Time links in *times when given.
static std::map<std::string, int> linked_fields(std::map<std::string, int> *times = nullptr)
{
    std::map<std::string, int> fields;
    uint64_t watched = 0;
    for (uint64_t i = 0; i < registry.instrument_count; ++i) {
        const Instrument &instrument = registry.instruments[i];
        FUZZ_CHECK(instrument.insref != 0);
        for (uint16_t f = 0; f < instrument.field_count; ++f) {
            const InstrumentField &field = instrument.fields[f];
            std::string item = std::to_string(instrument.insref) + "." + field.name;
            FUZZ_CHECK(is_sound_item(item));
            FUZZ_CHECK(fields.count(item) == 0);
            fields[item] = field.advise_count;
            FUZZ_CHECK(field.time_links <= field.advise_count);
            if (times)
                (*times)[item] = field.time_links;
            watched += field.advise_count > 0;
        }
    }
    FUZZ_CHECK(registry.active_field_count == watched);
    return fields;
}

// The items the feed client was asked for, in the frames behind the 101
// response: unmasked text frames, each short enough for a one-byte length.
static std::vector<std::string> requested_items(const std::string &sent)
{
    static const char OPENING[] = "{ \"request\" : \"", CLOSING[] = "\" }";
    size_t at = sent.find("\r\n\r\n");
    FUZZ_CHECK(at != std::string::npos);
    std::vector<std::string> items;
    for (at += 4; at < sent.size();) {
        FUZZ_CHECK(sent.size() - at >= 2 && static_cast<unsigned char>(sent[at]) == 0x81);
        size_t length = static_cast<unsigned char>(sent[at + 1]);
        FUZZ_CHECK(length <= 125 && sent.size() - at - 2 >= length);
        std::string payload = sent.substr(at + 2, length);
        FUZZ_CHECK(payload.rfind(OPENING, 0) == 0 && length >= sizeof OPENING - 1 + sizeof CLOSING - 1);
        FUZZ_CHECK(payload.compare(length - 3, 3, CLOSING) == 0);
        items.push_back(payload.substr(sizeof OPENING - 1, length - (sizeof OPENING - 1) - 3));
        at += 2 + length;
    }
    return items;
}

// What a field shows on Quote; on Time, a single blank: no feed message
// ever arrives here, so no field has a time.
static std::string value_of(const std::string &item, bool time)
{
    size_t dot = item.find('.');
    Instrument *instrument = find_instrument(std::stoull(item.substr(0, dot)));
    InstrumentField *field = instrument ? find_field(instrument, item.c_str() + dot + 1) : nullptr;
    FUZZ_CHECK(field);
    FUZZ_CHECK(field->updated == 0);
    return field->value && !time ? field->value : " ";
}

static void check_answer(UINT type, UINT format, int topic, const std::string &item, bool has_item,
                         HDDEDATA answer, const std::map<std::string, int> &before,
                         const std::map<std::string, int> &after,
                         const std::map<std::string, int> &times_before,
                         const std::map<std::string, int> &times_after)
{
    bool our_topic = topic == ON_QUOTE || topic == ON_TIME;
    bool linked = has_item && before.count(item) != 0;
    if (type == XTYP_ADVSTART && answer)
        FUZZ_CHECK(times_after.at(item) == (linked ? times_before.at(item) : 0) + (topic == ON_TIME));
    if (type == XTYP_ADVSTOP && linked) {
        // A stop on Time lowers the Time count; one named by any other topic
        // may end the last loops, and the Time count never exceeds them.
        int time_links = times_before.at(item) - (topic == ON_TIME && times_before.at(item) > 0 ? 1 : 0);
        FUZZ_CHECK(times_after.at(item) == std::min(time_links, after.at(item)));
    }
    switch (type) {
    case XTYP_ADVSTART:
        if (answer) {
            FUZZ_CHECK(our_topic && has_item && after.count(item) != 0);
            FUZZ_CHECK(after.at(item) == (linked ? before.at(item) + 1 : 1));
            FUZZ_CHECK(after.size() == before.size() + (linked ? 0 : 1));
        } else {
            FUZZ_CHECK(!(our_topic && has_item && is_sound_item(item)));
            FUZZ_CHECK(after == before);
        }
        return;
    case XTYP_ADVSTOP: {
        FUZZ_CHECK(!answer);
        FUZZ_CHECK(after.size() == before.size());
        int lowered = 0;
        for (const auto &entry : before) {
            int now = after.at(entry.first);
            FUZZ_CHECK(now == entry.second || (now == entry.second - 1 && entry.first == item));
            lowered += now != entry.second;
        }
        FUZZ_CHECK(lowered == (linked && before.at(item) > 0 ? 1 : 0));
        return;
    }
    case XTYP_ADVREQ:
    case XTYP_REQUEST:
        FUZZ_CHECK(after == before);
        {
            // The conversation is on Quote: an advise request on Time for a
            // field with Time links is a post for the other topic.
            bool other_topics_post =
                type == XTYP_ADVREQ && topic == ON_TIME && linked && times_before.at(item) > 0;
            FUZZ_CHECK((answer != nullptr) == (our_topic && linked && !other_topics_post));
        }
        if (answer) {
            std::string bytes = standin::data_bytes(answer);
            std::string value = value_of(item, topic == ON_TIME);
            if ((format & 0xFFFF) == (xltable_format & 0xFFFF))
                FUZZ_CHECK(bytes.rfind(std::string("\x10\x00\x04\x00\x01\x00\x01\x00", 8), 0) == 0);
            else
                FUZZ_CHECK(bytes == value + '\0');
        }
        return;
    case XTYP_CONNECT:
        FUZZ_CHECK(answer == reinterpret_cast<HDDEDATA>(static_cast<INT_PTR>(TRUE)));
        return;
    case XTYP_ADVDATA:
        FUZZ_CHECK(answer == reinterpret_cast<HDDEDATA>(static_cast<INT_PTR>(DDE_FACK)));
        return;
    default:
        FUZZ_CHECK(!answer);
        FUZZ_CHECK(after == before);
        return;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fresh_process();
    FUZZ_CHECK(start_program());
    HCONV sheet = standin::connect("Quellvarden", "Quote");
    FUZZ_CHECK(sheet);
    SOCKET feed = connect_feed_client();
    feed_client_sends(feed, upgrade_request());
    FUZZ_CHECK(feed_client.state == FEED_OPEN);

    for (size_t at = 0; size - at >= 3;) {
        UINT type = TYPES[data[at] % 16];
        uint8_t choices = data[at + 1];
        size_t length = std::min<size_t>(data[at + 2], size - at - 3);
        std::string name(reinterpret_cast<const char *>(data + at + 3), length);
        at += 3 + length;
        name.resize(std::strlen(name.c_str()));  // a DDE string ends at its first NUL

        UINT format = (choices & 3) == 0   ? xltable_format
                      : (choices & 3) == 1 ? xltable_format | 0xFFFF0000u
                      : (choices & 3) == 2 ? CF_TEXT
                                           : choices;
        int topic_choice = (choices >> 2) & 3;
        const char *topic = TOPICS[topic_choice];
        bool has_item = !(choices & 0x10);
        // String handles ignore letter case, as atoms do: the program reads
        // the spelling first registered, which may not be this one.
        HSZ item = has_item ? standin::hsz(name) : nullptr;
        std::string seen = standin::hsz_text(item);
        std::map<std::string, int> times_before, times_after;
        std::map<std::string, int> before = linked_fields(&times_before);
        HDDEDATA answer =
            standin::call_callback(type, format, sheet, topic ? standin::hsz(topic) : nullptr, item);
        std::map<std::string, int> after = linked_fields(&times_after);
        check_answer(type, format, topic_choice, seen, has_item, answer, before, after, times_before,
                     times_after);

        FUZZ_CHECK(standin::lock_info(&registry_lock).depth == 0);
        for (const char *line : status_board.lines)
            FUZZ_CHECK(std::memchr(line, '\0', STATUS_LINE_SIZE) != nullptr);
        std::vector<std::string> asked = requested_items(standin::socket_state(feed).sent);
        std::sort(asked.begin(), asked.end());
        FUZZ_CHECK(std::adjacent_find(asked.begin(), asked.end()) == asked.end());
        FUZZ_CHECK(asked.size() == after.size());
        for (const std::string &item : asked)
            FUZZ_CHECK(after.count(item) != 0);
    }
    fresh_process();
    return 0;
}
