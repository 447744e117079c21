#include "core/item_name.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

/*
 * Item name: <insref>.<field>, for example 1234.lastprice or 1234.a.b
 * (field "a.b"). The insref is an unsigned 64-bit number, never 0; the field
 * name is everything after the first dot, compared case-sensitively.
 *
 * The same text is the DDE item of a spreadsheet link and the key of the feed
 * messages, where it is sent inside double quotes without escaping, and after
 * every reconnect it is rebuilt from the registry as "%llu.%s". So an item is
 * only taken on when it survives both trips unchanged:
 *   - the insref is plain decimal digits, no sign, no blank, no leading zero,
 *     not 0 and at most 18446744073709551615, directly followed by the dot;
 *   - the field name has at least one character;
 *   - the whole item has at most 99 characters;
 *   - no double quote, backslash, control character (below 0x20) or byte of
 *     0x80 and above anywhere: a browser feed client drops the whole
 *     connection on a request that holds one.
 */

bool parse_item_name(const char *text, unsigned long long *insref, const char **field)
{
    char *end = nullptr;
    *insref = std::strtoull(text, &end, 10);
    *field = nullptr;
    if (*insref == 0 || *end != '.')
        return false;
    *field = end + 1;
    return true;
}

bool is_sound_item_name(const char *text, size_t full_length, unsigned long long *insref, const char **field)
{
    errno = 0;
    if (!parse_item_name(text, insref, field))
        return false;
    // strtoull gives ULLONG_MAX with ERANGE for a number past 2^64 - 1.
    if (errno == ERANGE)
        return false;
    if (full_length > ITEM_NAME_MAX || std::strlen(text) != full_length)
        return false;
    if (text[0] < '1' || text[0] > '9')
        return false;
    if (**field == '\0')
        return false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (*p < 0x20 || *p >= 0x80 || *p == '"' || *p == '\\')
            return false;
    }
    return true;
}
