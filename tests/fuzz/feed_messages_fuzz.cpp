// Quoted-value extraction and the update on any message text.
// extract_quoted_value keeps its contract (the quoted text right behind the
// first key text and blanks, cut to the output's size, never empty) and
// writes nothing past the output (an exact heap copy, watched by ASan).
// apply_update changes at most the one field its key names, to the value
// the message quotes, tells every cell linked to that field and no other,
// and releases the lock.
//
// Input: byte 0 chooses the key text to extract (bits 0-1: the key's, the
// value's, a lone quote, none) and the output's size (bits 2-7: 0 to 62
// bytes, 63 the program's 1024); the rest is the message text, up to its
// first NUL.
#include "core/registry.h"
#include "core/status_board.h"
#include "dde/dde_service.h"
#include "feed/feed_messages.h"
#include "standin.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/program_driver.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

static const char *const KEY_TEXTS[4] = {"\"key\":", "\"value\":", "\"", ""};

static bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

static void check_extraction(const char *text, const char *key_text, size_t size)
{
    std::unique_ptr<char[]> output(new char[size]);
    bool found = extract_quoted_value(text, key_text, output.get(), size);

    // Where the contract puts the value: behind the first key text and blanks, after a quote.
    const char *key = std::strstr(text, key_text);
    const char *quote = key ? key + std::strlen(key_text) : nullptr;
    while (quote && is_blank(*quote))
        ++quote;
    bool quoted = size > 1 && quote && *quote == '"' && quote[1] != '"' && quote[1] != '\0';
    FUZZ_CHECK(found == quoted);
    if (!found)
        return;
    size_t length = strnlen(output.get(), size);
    FUZZ_CHECK(length >= 1 && length < size);
    FUZZ_CHECK(std::strncmp(quote + 1, output.get(), length) == 0);
    FUZZ_CHECK(std::memchr(output.get(), '"', length) == nullptr);
    char behind = quote[1 + length];
    FUZZ_CHECK(behind == '"' || behind == '\0' || length == size - 1);
}

struct Link {
    const char *item;
    UINT format;  // 0: XlTable
};
static const Link LINKS[] = {
    {"1234.lastprice", 0}, {"1234.lastprice", CF_TEXT}, {"1234.bid", CF_TEXT}, {"5.x", 0}};

static std::map<std::string, std::string> field_values()
{
    std::map<std::string, std::string> values;
    for (uint64_t i = 0; i < registry.instrument_count; ++i) {
        const Instrument &instrument = registry.instruments[i];
        for (uint16_t f = 0; f < instrument.field_count; ++f) {
            const char *value = instrument.fields[f].value;
            FUZZ_CHECK(!value || std::strlen(value) < FEED_TEXT_SIZE);
            values[std::to_string(instrument.insref) + "." + instrument.fields[f].name] =
                value ? std::string(1, 'v') + value : "null";
        }
    }
    return values;
}

static void check_update(const char *text)
{
    std::map<std::string, std::string> before = field_values();
    apply_update(dde_instance, topic_name, text);
    std::map<std::string, std::string> after = field_values();
    FUZZ_CHECK(standin::lock_info(&registry_lock).depth == 0);
    for (const char *line : status_board.lines)
        FUZZ_CHECK(std::memchr(line, '\0', STATUS_LINE_SIZE) != nullptr);
    FUZZ_CHECK(after.size() == before.size());

    const std::vector<standin::Delivery> &deliveries = standin::records().deliveries;
    std::string told = deliveries.empty() ? "" : deliveries[0].item;
    size_t links = 0;
    for (const Link &link : LINKS)
        links += told == link.item;
    FUZZ_CHECK(deliveries.size() == links);
    for (const auto &entry : before) {
        if (entry.first != told)
            FUZZ_CHECK(after.at(entry.first) == entry.second);
    }
    if (told.empty())
        return;

    // The cells were told the value the message quotes, as the field now holds it.
    char quoted[FEED_TEXT_SIZE];
    FUZZ_CHECK(std::strstr(text, ("\"" + told).c_str()) != nullptr);
    FUZZ_CHECK(extract_quoted_value(text, "\"value\":", quoted, sizeof quoted));
    const std::string &stored = after.at(told);
    bool ascii = true;
    for (const char *p = quoted; *p; ++p)
        ascii = ascii && static_cast<unsigned char>(*p) < 0x80;
    if (std::strcmp(quoted, "null") == 0)
        FUZZ_CHECK(stored == "null");
    else if (ascii)
        FUZZ_CHECK(stored == std::string("v") + quoted);
    std::string shown = stored == "null" ? " " : stored.substr(1);
    for (const standin::Delivery &delivery : deliveries) {
        FUZZ_CHECK(delivery.item == told && delivery.bytes);
        if (delivery.format == CF_TEXT)
            FUZZ_CHECK(*delivery.bytes == shown + '\0');
        else
            FUZZ_CHECK(delivery.bytes->rfind(std::string("\x10\x00\x04\x00\x01\x00\x01\x00", 8), 0) == 0);
    }
    FUZZ_CHECK(std::strncmp(status_board.lines[2], "Last receieved: ", 16) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    std::vector<char> text(data + 1, data + size);
    text.push_back('\0');
    size_t size_choice = data[0] >> 2;
    check_extraction(text.data(), KEY_TEXTS[data[0] & 3], size_choice == 63 ? FEED_TEXT_SIZE : size_choice);

    fresh_process();
    FUZZ_CHECK(start_program());
    HCONV sheet = standin::connect("Quellvarden", "Quote");
    for (const Link &link : LINKS)
        FUZZ_CHECK(standin::advise(sheet, link.item, link.format ? link.format : xltable_format));
    standin::records().deliveries.clear();
    check_update(text.data());
    fresh_process();
    return 0;
}
