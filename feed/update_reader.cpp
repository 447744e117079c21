// The update message read as JSON by RapidJSON's SAX reader, in place.
#include "feed/update_reader.h"

#include "core/item_name.h"

#include <rapidjson/reader.h>

#include <climits>
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

    UpdateHandler(bool (*taker)(void *, const FeedUpdate &), void *taker_context)
        : take(taker), context(taker_context)
    {
    }

    // A value in the position of a member of the update: key and value are
    // noted (the last one counts), anything else passed over. A value
    // anywhere else is a fault, unless it sits inside a member passed over.
    bool member_value(UpdateValueKind kind, const char *text, size_t length, bool usable)
    {
        if (update_depth == 0)
            return false;
        if (depth != update_depth)
            return true;
        if (member == MEMBER_KEY) {
            key = usable && kind == UPDATE_TEXT ? FOUND_SOUND : FOUND_BAD;
            current.key = text;
        } else if (member == MEMBER_VALUE) {
            value = usable ? FOUND_SOUND : FOUND_BAD;
            current.kind = kind;
            current.value = text;
            current.value_length = length;
        }
        return true;
    }

    bool open(bool object)
    {
        if (depth == UPDATE_DEPTH_MAX)
            return false;
        bool starts_update = object && (depth == 0 || (batch && depth == 1));
        if (depth == 0)
            batch = !object;
        else if (batch && depth == 1 && !object)
            return false;  // an array inside the array
        else if (!starts_update && !member_value(UPDATE_TEXT, nullptr, 0, false))
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
        if (key != FOUND_SOUND || value != FOUND_SOUND || count == INT_MAX)
            return false;
        size_t key_length = std::strlen(current.key);
        if (!is_sound_item_name(current.key, key_length, &current.insref, &current.field))
            return false;
        ++count;
        return take(context, current);
    }

    bool Null() { return member_value(UPDATE_NULL, nullptr, 0, true); }
    bool Bool(bool) { return member_value(UPDATE_TEXT, nullptr, 0, false); }
    bool RawNumber(const char *text, rapidjson::SizeType length, bool)
    {
        return member_value(UPDATE_NUMBER, text, length, length <= UPDATE_VALUE_MAX);
    }
    bool String(const char *text, rapidjson::SizeType length, bool)
    {
        // A decoded \u0000 would end the text early.
        bool usable = length <= UPDATE_VALUE_MAX && std::memchr(text, '\0', length) == nullptr;
        return member_value(UPDATE_TEXT, text, length, usable);
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
        return !(batch && depth == 0 && elements == 0);
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
bool has_lone_low_surrogate(const char *text, size_t length)
{
    const char *end = text + length;
    bool after_high = false;
    for (const char *p = text; p < end; ++p) {
        if (*p != '\\')
            continue;
        long unit = escaped_unit(p, end);
        if (unit >= 0xDC00 && unit <= 0xDFFF && !after_high)
            return true;
        after_high = unit >= 0xD800 && unit <= 0xDBFF;
        p += unit >= 0 ? 5 : 1;
    }
    return false;
}

}  // namespace

int read_updates(char *payload, size_t length, bool (*take)(void *context, const FeedUpdate &update),
                 void *context)
{
    // The reader stops at a NUL; the payload is read by its length.
    if (std::memchr(payload, '\0', length) != nullptr || has_lone_low_surrogate(payload, length))
        return -1;
    UpdateHandler handler(take, context);
    rapidjson::Reader reader;
    rapidjson::InsituStringStream stream(payload);
    constexpr unsigned FLAGS =
        rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseNanAndInfFlag;
    if (reader.Parse<FLAGS>(stream, handler).IsError())
        return -1;
    return static_cast<int>(handler.count);
}
