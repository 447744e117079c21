// The update message read as JSON by RapidJSON's SAX reader, in place.
#include "feed/update_reader.h"

#include "core/item_name.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <climits>
#include <cstdio>
#include <cstring>

/*
 * Update, feed client to system: one JSON object (RFC 8259), or an array of
 * them applied in order, in one text frame:
 *     {"key":"1234.lastprice","value":"12.5"}
 *     [{"key":"1234.bid","value":12.4},{"key":"1234.name","value":"Z\u00fcrich"},
 *      {"key":"1234.ask","value":null}]
 * key: a string, the item exactly as requested. value: a string, a number
 * (kept as written, also NaN and Infinity as Python writes them) or null
 * (the field has no value any more). Other members are passed over, members
 * may come in any order, and of a repeated member the last one counts. One
 * fault anywhere refuses the whole payload.
 */

namespace {

enum MemberKind { MEMBER_OTHER, MEMBER_KEY, MEMBER_VALUE };
enum Found { FOUND_NONE, FOUND_SOUND, FOUND_BAD };

// What a JSON value is, in the words of a refusal ("value is true").
const char *const WHAT_STRING = "a string";
const char *const WHAT_NUMBER = "a number";
const char *const WHAT_OBJECT = "an object";
const char *const WHAT_ARRAY = "an array";

struct UpdateHandler : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, UpdateHandler> {
    bool (*take)(void *context, const FeedUpdate &update);
    void *context;
    size_t count = 0;
    int depth = 0;         // arrays and objects open
    bool batch = false;    // the payload is an array
    int update_depth = 0;  // depth of the update object open; 0: none
    MemberKind member = MEMBER_OTHER;
    Found key = FOUND_NONE;
    Found value = FOUND_NONE;
    FeedUpdate current{};
    // Why the last key or value noted cannot be used, while it is FOUND_BAD.
    char key_fault[64];
    char value_fault[64];
    // Set whenever a handler call refuses the payload.
    char refusal[REFUSAL_TEXT_SIZE];

    // Only the first bytes are cleared: a message read costs no memset of
    // texts that are written only when something is refused.
    UpdateHandler(bool (*taker)(void *, const FeedUpdate &), void *taker_context)
        : take(taker), context(taker_context)
    {
        key_fault[0] = value_fault[0] = refusal[0] = '\0';
    }

    bool refuse(const char *text)
    {
        std::snprintf(refusal, sizeof refusal, "%s", text);
        return false;
    }

    // A value in the position of a member of the update: key and value are
    // noted (the last one counts), anything else passed over. A value
    // anywhere else is a fault, unless it sits inside a member passed over.
    // fault is null for a usable value, else what is wrong with it ("is true").
    bool member_value(UpdateValueKind kind, const char *text, size_t length, const char *what,
                      const char *fault)
    {
        if (update_depth == 0) {
            char where[64];
            std::snprintf(where, sizeof where, "%s where an update belongs", what);
            return refuse(where);
        }
        if (depth != update_depth)
            return true;
        if (member == MEMBER_KEY) {
            bool sound = !fault && kind == UPDATE_TEXT;
            key = sound ? FOUND_SOUND : FOUND_BAD;
            if (!sound)
                std::snprintf(key_fault, sizeof key_fault, fault ? "key %s" : "key is %s",
                              fault ? fault : what);
            current.key = text;
        } else if (member == MEMBER_VALUE) {
            value = fault ? FOUND_BAD : FOUND_SOUND;
            if (fault)
                std::snprintf(value_fault, sizeof value_fault, "value %s", fault);
            current.kind = kind;
            current.value = text;
            current.value_length = length;
        }
        return true;
    }

    bool open(bool object)
    {
        if (depth == UPDATE_DEPTH_MAX)
            return refuse("nested more than 8 deep");
        bool starts_update = object && (depth == 0 || (batch && depth == 1));
        const char *what = object ? WHAT_OBJECT : WHAT_ARRAY;
        const char *fault = object ? "is an object" : "is an array";
        if (depth == 0)
            batch = !object;
        else if (batch && depth == 1 && !object)
            return refuse("an array inside the array");
        else if (!starts_update && !member_value(UPDATE_TEXT, nullptr, 0, what, fault))
            return false;
        ++depth;
        if (starts_update) {
            update_depth = depth;
            key = value = FOUND_NONE;
            current = FeedUpdate{};
        }
        return true;
    }

    bool finish_update()
    {
        update_depth = 0;
        if (key != FOUND_SOUND)
            return refuse(key == FOUND_NONE ? "no key" : key_fault);
        if (value != FOUND_SOUND)
            return refuse(value == FOUND_NONE ? "no value" : value_fault);
        if (count == INT_MAX)
            return refuse("more updates than a message may hold");
        size_t key_length = std::strlen(current.key);
        if (!is_sound_item_name(current.key, key_length, &current.insref, &current.field)) {
            std::snprintf(refusal, sizeof refusal, "key fails the item rule: %.100s", current.key);
            return false;
        }
        ++count;
        return take(context, current) || refuse("take refused");
    }

    // A text or number too long, or a string holding a decoded \u0000.
    const char *fault_of(bool too_long, bool has_nul)
    {
        return too_long ? "is over 1023 bytes" : has_nul ? "holds \\u0000" : nullptr;
    }

    bool Null() { return member_value(UPDATE_NULL, nullptr, 0, "null", nullptr); }
    bool Bool(bool b)
    {
        return member_value(UPDATE_TEXT, nullptr, 0, b ? "true" : "false", b ? "is true" : "is false");
    }
    bool RawNumber(const char *text, rapidjson::SizeType length, bool)
    {
        return member_value(UPDATE_NUMBER, text, length, WHAT_NUMBER,
                            fault_of(length > UPDATE_VALUE_MAX, false));
    }
    bool String(const char *text, rapidjson::SizeType length, bool)
    {
        // A decoded \u0000 would end the text early.
        const char *fault = fault_of(length > UPDATE_VALUE_MAX, std::memchr(text, '\0', length) != nullptr);
        return member_value(UPDATE_TEXT, text, length, WHAT_STRING, fault);
    }
    bool Key(const char *name, rapidjson::SizeType length, bool)
    {
        if (depth == update_depth) {
            member = length == 3 && std::memcmp(name, "key", 3) == 0     ? MEMBER_KEY
                     : length == 5 && std::memcmp(name, "value", 5) == 0 ? MEMBER_VALUE
                                                                         : MEMBER_OTHER;
        }
        return true;
    }
    bool StartObject() { return open(true); }
    bool StartArray() { return open(false); }
    bool EndObject(rapidjson::SizeType)
    {
        bool closes_update = depth == update_depth;
        --depth;
        return !closes_update || finish_update();
    }
    bool EndArray(rapidjson::SizeType elements)
    {
        --depth;
        return !(batch && depth == 0 && elements == 0) || refuse("an empty array");
    }
};

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The code unit of the \uXXXX escape at text[0..6), or -1.
long escaped_unit(const char *text, const char *end)
{
    if (end - text < 6 || text[1] != 'u')
        return -1;
    long unit = 0;
    for (int i = 2; i < 6; ++i) {
        int digit = hex_digit(text[i]);
        if (digit < 0)
            return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

// The reader turns a low surrogate escaped alone (\uDC00) into bytes that are
// no UTF-8, as if a feed had sent raw ANSI; it refuses a lone high one itself.
// Gives the offset of the escape's backslash, or -1 when there is none.
long long lone_low_surrogate(const char *text, size_t length)
{
    const char *end = text + length;
    bool after_high = false;
    for (const char *p = text; p < end; ++p) {
        if (*p != '\\')
            continue;
        long unit = escaped_unit(p, end);
        if (unit >= 0xDC00 && unit <= 0xDFFF && !after_high)
            return p - text;
        after_high = unit >= 0xD800 && unit <= 0xDBFF;
        p += unit >= 0 ? 5 : 1;
    }
    return -1;
}

// A refusal by the handler says itself what was wrong; one by the reader
// says it in RapidJSON's words, with where it stopped.
void describe_parse_error(const rapidjson::ParseResult &result, const char *handler_refusal,
                          UpdateRefusal &refusal)
{
    if (result.Code() == rapidjson::kParseErrorTermination && handler_refusal[0] != '\0') {
        std::snprintf(refusal.text, sizeof refusal.text, "%s", handler_refusal);
        return;
    }
    if (result.Code() == rapidjson::kParseErrorStringUnicodeSurrogateInvalid) {
        std::snprintf(refusal.text, sizeof refusal.text, "lone surrogate at byte %zu", result.Offset());
        return;
    }
    // "Invalid value." and the like, without the full stop.
    const char *words = rapidjson::GetParseError_En(result.Code());
    int length = static_cast<int>(std::strlen(words));
    if (length > 0 && words[length - 1] == '.')
        --length;
    std::snprintf(refusal.text, sizeof refusal.text, "not JSON: %.*s at byte %zu", length, words,
                  result.Offset());
}

}  // namespace

int read_updates(char *payload, size_t length, bool (*take)(void *context, const FeedUpdate &update),
                 void *context, UpdateRefusal *why)
{
    UpdateRefusal unused;
    UpdateRefusal &refusal = why ? *why : unused;
    refusal.text[0] = '\0';
    // The reader stops at a NUL; the payload is read by its length.
    if (const void *nul = std::memchr(payload, '\0', length)) {
        std::snprintf(refusal.text, sizeof refusal.text, "NUL byte at byte %zu",
                      static_cast<size_t>(static_cast<const char *>(nul) - payload));
        return -1;
    }
    long long surrogate = lone_low_surrogate(payload, length);
    if (surrogate >= 0) {
        std::snprintf(refusal.text, sizeof refusal.text, "lone surrogate at byte %lld", surrogate);
        return -1;
    }
    UpdateHandler handler(take, context);
    rapidjson::Reader reader;
    rapidjson::InsituStringStream stream(payload);
    constexpr unsigned FLAGS =
        rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseNanAndInfFlag;
    rapidjson::ParseResult result = reader.Parse<FLAGS>(stream, handler);
    if (result.IsError()) {
        describe_parse_error(result, handler.refusal, refusal);
        return -1;
    }
    return static_cast<int>(handler.count);
}
