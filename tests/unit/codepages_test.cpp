// The stand-in's code page conversions. Expected values are what Wine 8
// gives for the same calls (ANSI code page 1252).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

static std::string units_hex(const WCHAR *units, int count)
{
    std::string hex;
    char unit[8];
    for (int i = 0; i < count; i++) {
        std::snprintf(unit, sizeof unit, "%s%04X", i ? " " : "", static_cast<unsigned>(units[i]));
        hex += unit;
    }
    return hex;
}

static std::string bytes_hex(const char *bytes, int count)
{
    std::string hex;
    char byte[4];
    for (int i = 0; i < count; i++) {
        std::snprintf(byte, sizeof byte, "%s%02X", i ? " " : "", static_cast<unsigned char>(bytes[i]));
        hex += byte;
    }
    return hex;
}

// Asks for the size, then converts into a buffer of exactly that size; the
// input sits in a buffer of its exact length too, so AddressSanitizer
// catches a read or write past either. Gives the units as hex, or
// "error <n>" when the size query fails.
static std::string utf8_to_wide(const std::string &text, DWORD flags)
{
    std::vector<char> input(text.begin(), text.end());
    int length = static_cast<int>(input.size());
    int needed = MultiByteToWideChar(CP_UTF8, flags, input.data(), length, nullptr, 0);
    if (needed == 0)
        return "error " + std::to_string(GetLastError());
    std::vector<WCHAR> wide(static_cast<size_t>(needed));
    int written = MultiByteToWideChar(CP_UTF8, flags, input.data(), length, wide.data(), needed);
    EXPECT_EQ(written, needed);
    return units_hex(wide.data(), written);
}

struct Utf8Case {
    const char *name;
    std::string text;
    const char *lenient;  // without MB_ERR_INVALID_CHARS
    const char *strict;   // with it
};

static const Utf8Case UTF8_CASES[] = {
    {"ascii", "a", "0061", "0061"},
    {"e acute", "\xC3\xA9", "00E9", "00E9"},
    {"euro sign", "\xE2\x82\xAC", "20AC", "20AC"},
    {"emoji as surrogate pair", "\xF0\x9F\x98\x80", "D83D DE00", "D83D DE00"},
    {"highest code point", "\xF4\x8F\xBF\xBF", "DBFF DFFF", "DBFF DFFF"},
    {"last before surrogates", "\xED\x9F\xBF", "D7FF", "D7FF"},
    {"first after surrogates", "\xEE\x80\x80", "E000", "E000"},
    {"noncharacter U+FFFF", "\xEF\xBF\xBF", "FFFF", "FFFF"},
    {"embedded NUL", std::string("a\0b", 3), "0061 0000 0062", "0061 0000 0062"},
    // One U+FFFD for the bytes that prove a sequence wrong, one for each
    // byte after them.
    {"overlong slash", "\xC0\xAF", "FFFD FFFD", "error 1113"},
    {"overlong three bytes", "\xE0\x80\xAF", "FFFD FFFD", "error 1113"},
    {"overlong four bytes", "\xF0\x80\x80\xAF", "FFFD FFFD FFFD", "error 1113"},
    {"encoded surrogate", "\xED\xA0\x80", "FFFD FFFD", "error 1113"},
    {"encoded surrogate pair", "\xED\xA0\xBD\xED\xB8\x80", "FFFD FFFD FFFD FFFD", "error 1113"},
    {"above U+10FFFF", "\xF4\x90\x80\x80", "FFFD FFFD FFFD", "error 1113"},
    {"lead byte F5", "\xF5\x80\x80\x80", "FFFD FFFD FFFD FFFD", "error 1113"},
    {"lone continuation",
     "a\x80"
     "b",
     "0061 FFFD 0062", "error 1113"},
    {"lead without continuation",
     "\xE2"
     "b\x82",
     "FFFD 0062 FFFD", "error 1113"},
    {"lead before a good pair", "\xC3\xC3\xA9", "FFFD 00E9", "error 1113"},
    {"truncated at the end", "a\xC3", "0061 FFFD", "error 1113"},
    // A sequence longer than what is left swallows the rest.
    {"truncated sequence swallows the rest",
     "\xF0\x9F"
     "b",
     "FFFD", "error 1113"},
};

TEST(CodePages, Utf8ToWide)
{
    for (const Utf8Case &c : UTF8_CASES) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(utf8_to_wide(c.text, 0), c.lenient);
        EXPECT_EQ(utf8_to_wide(c.text, MB_ERR_INVALID_CHARS), c.strict);
    }
}

TEST(CodePages, Utf8NulTerminatedCountsTheNul)
{
    WCHAR wide[8];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xC3\xA9", -1, nullptr, 0), 3);
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xC3\xA9", -1, wide, 8), 3);
    EXPECT_EQ(units_hex(wide, 3), "0061 00E9 0000");
    // Wine: the cut sequence takes the terminating NUL with it.
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xF0\x9F", -1, wide, 8), 2);
    EXPECT_EQ(units_hex(wide, 2), "0061 FFFD");
}

TEST(CodePages, Utf8BufferTooSmall)
{
    WCHAR wide[4] = {0x2323, 0x2323, 0x2323, 0x2323};
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 3, wide, 2), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(wide[2], 0x2323);
    // Running out of room comes before the invalid input is reported.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS,
                                  "a\xC0\xAF"
                                  "bcd",
                                  6, wide, 2),
              0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    // Wine: a pair whose second half finds no room at the very end leaves its
    // first half and succeeds; with more input after it the call fails.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xF0\x9F\x98\x80", 5, wide, 2), 2);
    EXPECT_EQ(units_hex(wide, 2), "0061 D83D");
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0,
                                  "\xF0\x9F\x98\x80"
                                  "A",
                                  5, wide, 2),
              0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(wide[2], 0x2323);
}

struct ParameterCase {
    const char *name;
    UINT codepage;
    DWORD flags;
    const char *text;
    int length;
    bool with_buffer;
    int size;
    DWORD error;
};

static const ParameterCase MB_PARAMETER_CASES[] = {
    {"length 0", CP_UTF8, 0, "a", 0, true, 4, ERROR_INVALID_PARAMETER},
    {"no text", CP_UTF8, 0, nullptr, 1, true, 4, ERROR_INVALID_PARAMETER},
    {"negative size", CP_UTF8, 0, "a", 1, true, -1, ERROR_INVALID_PARAMETER},
    {"size without buffer", CP_UTF8, 0, "a", 1, false, 4, ERROR_INVALID_PARAMETER},
    {"unknown code page", 12345, 0, "a", 1, true, 4, ERROR_INVALID_PARAMETER},
    {"unknown flag", CP_UTF8, 0x12345678, "a", 1, true, 4, ERROR_INVALID_FLAGS},
};

TEST(CodePages, MultiByteRefusesBadParameters)
{
    for (const ParameterCase &c : MB_PARAMETER_CASES) {
        SCOPED_TRACE(c.name);
        WCHAR wide[4] = {0x2323, 0x2323, 0x2323, 0x2323};
        EXPECT_EQ(MultiByteToWideChar(c.codepage, c.flags, c.text, c.length, c.with_buffer ? wide : nullptr,
                                      c.size),
                  0);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(wide[0], 0x2323);
    }
}

// Converts to the ANSI code page the way the program does: no best fit, "?"
// for what 1252 lacks. Exact-size buffers as above.
static std::string wide_to_ansi(const std::u16string &text, const char *default_char, BOOL *used)
{
    std::vector<WCHAR> input(text.begin(), text.end());
    int length = static_cast<int>(input.size());
    int needed = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, input.data(), length, nullptr, 0,
                                     default_char, used);
    if (needed == 0)
        return "error " + std::to_string(GetLastError());
    std::vector<char> ansi(static_cast<size_t>(needed));
    *used = 7;
    int written = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, input.data(), length, ansi.data(), needed,
                                      default_char, used);
    EXPECT_EQ(written, needed);
    return bytes_hex(ansi.data(), written);
}

struct AnsiCase {
    const char *name;
    std::u16string text;
    const char *default_char;
    const char *ansi;
    BOOL used;
};

static const AnsiCase ANSI_CASES[] = {
    {"ascii", u"Ab", "?", "41 62", FALSE},
    {"e acute", u"\u00E9", "?", "E9", FALSE},
    {"euro sign", u"\u20AC", "?", "80", FALSE},
    {"OE ligature", u"\u0152", "?", "8C", FALSE},
    {"Y diaeresis", u"\u0178", "?", "9F", FALSE},
    {"unassigned 0x81 kept", u"\u0081", "?", "81", FALSE},
    {"unassigned 0x9D kept", u"\u009D", "?", "9D", FALSE},
    {"C1 control 0x80 not in 1252", u"\u0080", "?", "3F", TRUE},
    {"A macron, no best fit", u"\u0100", "?", "3F", TRUE},
    {"minus sign, no best fit", u"\u2212", "?", "3F", TRUE},
    {"fullwidth A, no best fit", u"\uFF21", "?", "3F", TRUE},
    {"replacement character", u"\uFFFD", "?", "3F", TRUE},
    {"surrogate pair gives two", u"a\U0001F600b", "?", "61 3F 3F 62", TRUE},
    {"lone high surrogate", std::u16string(1, char16_t(0xD800)) + u"a", "?", "3F 61", TRUE},
    {"other default char", u"\u0100", "*", "2A", TRUE},
    {"no default char means ?", u"\u0100", nullptr, "3F", TRUE},
    {"only the first default byte", u"\u0100", "XY", "58", TRUE},
};

TEST(CodePages, WideToAnsi)
{
    for (const AnsiCase &c : ANSI_CASES) {
        SCOPED_TRACE(c.name);
        BOOL used = 7;
        EXPECT_EQ(wide_to_ansi(c.text, c.default_char, &used), c.ansi);
        EXPECT_EQ(used, c.used);
    }
}

struct Cp1252Case {
    unsigned char byte;
    WCHAR unit;
};

static const Cp1252Case CP1252_CASES[] = {
    {0x7F, 0x007F}, {0x80, 0x20AC}, {0x81, 0x0081}, {0x82, 0x201A}, {0x8D, 0x008D},
    {0x8E, 0x017D}, {0x8F, 0x008F}, {0x90, 0x0090}, {0x96, 0x2013}, {0x99, 0x2122},
    {0x9D, 0x009D}, {0x9F, 0x0178}, {0xA0, 0x00A0}, {0xFF, 0x00FF},
};

TEST(CodePages, AnsiTableBothWays)
{
    for (const Cp1252Case &c : CP1252_CASES) {
        SCOPED_TRACE(static_cast<int>(c.byte));
        char byte = static_cast<char>(c.byte);
        WCHAR unit = 0;
        ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, &byte, 1, &unit, 1), 1);
        EXPECT_EQ(unit, c.unit);
    }
    // Every byte survives the round trip.
    for (int b = 0; b < 256; b++) {
        SCOPED_TRACE(b);
        char byte = static_cast<char>(b), back = 0;
        WCHAR unit = 0;
        BOOL used = 7;
        ASSERT_EQ(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &byte, 1, &unit, 1), 1);
        ASSERT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, &unit, 1, &back, 1, "?", &used), 1);
        EXPECT_EQ(back, byte);
        EXPECT_EQ(used, FALSE);
    }
}

TEST(CodePages, AnsiLengthsAndSmallBuffers)
{
    const WCHAR text[] = {0x41, 0xE9, 0x100, 0};
    char ansi[4] = {'#', '#', '#', '#'};
    BOOL used = 7;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, nullptr, 0, "?", &used), 4);
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, ansi, 4, "?", &used), 4);
    EXPECT_EQ(bytes_hex(ansi, 4), "41 E9 3F 00");
    // Too small: what fits is written, *used_default covers just that part.
    char small[3] = {'#', '#', '#'};
    used = 7;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, 3, small, 2, "?", &used), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(bytes_hex(small, 3), "41 E9 23");
    EXPECT_EQ(used, FALSE);
    // A null used_default is allowed.
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, 3, ansi, 4, "?", nullptr), 3);
}

TEST(CodePages, WideCharRefusesBadParameters)
{
    const WCHAR text[] = {0x41, 0};
    struct Case {
        const char *name;
        UINT codepage;
        DWORD flags;
        const WCHAR *wide;
        int length;
        bool with_buffer;
        int size;
        DWORD error;
    };
    const Case cases[] = {
        {"length 0", CP_ACP, WC_NO_BEST_FIT_CHARS, text, 0, true, 4, ERROR_INVALID_PARAMETER},
        {"no text", CP_ACP, WC_NO_BEST_FIT_CHARS, nullptr, 1, true, 4, ERROR_INVALID_PARAMETER},
        {"negative size", CP_ACP, WC_NO_BEST_FIT_CHARS, text, 1, true, -1, ERROR_INVALID_PARAMETER},
        {"size without buffer", CP_ACP, WC_NO_BEST_FIT_CHARS, text, 1, false, 4, ERROR_INVALID_PARAMETER},
        {"unknown code page", 12345, WC_NO_BEST_FIT_CHARS, text, 1, true, 4, ERROR_INVALID_PARAMETER},
        {"unknown flag", CP_ACP, 0x12345678, text, 1, true, 4, ERROR_INVALID_FLAGS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char ansi[4] = {'#', '#', '#', '#'};
        BOOL used = 7;
        EXPECT_EQ(WideCharToMultiByte(c.codepage, c.flags, c.wide, c.length, c.with_buffer ? ansi : nullptr,
                                      c.size, "?", &used),
                  0);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(ansi[0], '#');
        EXPECT_EQ(used, 7);
    }
}

// UTF-16 back to UTF-8 gives the bytes of every sound text above, and a
// lone surrogate, which has no UTF-8, becomes U+FFFD.
TEST(CodePages, WideToUtf8RoundTrip)
{
    for (const Utf8Case &c : UTF8_CASES) {
        if (std::string(c.strict).rfind("error", 0) == 0)
            continue;
        SCOPED_TRACE(c.name);
        std::vector<WCHAR> wide(c.text.size() + 1);
        int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.text.data(), static_cast<int>(c.text.size()),
                                        wide.data(), static_cast<int>(wide.size()));
        ASSERT_GT(units, 0);
        int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
        std::string back(static_cast<size_t>(bytes), '#');
        EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide.data(), units, &back[0], bytes, nullptr, nullptr), bytes);
        EXPECT_EQ(back, c.text);
    }
    const WCHAR lone[] = {0x61, 0xD83D, 0x62};
    char out[5];
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, lone, 3, out, 5, nullptr, nullptr), 5);
    EXPECT_EQ(std::string(out, 5), "a\xEF\xBF\xBD" "b");
}

// Wine maps U+0100 to 'A' here; the stand-in has no best-fit tables, so it
// refuses rather than convert differently.
TEST(CodePages, StandinRefusesBestFit)
{
    const WCHAR text[] = {0x41};
    char ansi[2] = {'#', '#'};
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, 1, ansi, 2, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_EQ(ansi[0], '#');
}
