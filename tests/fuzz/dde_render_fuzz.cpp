// XlTable rendering and the number test on any value text: a text goes, in
// the ANSI code page, as a number block exactly when the whole of it reads
// as a finite number, and then carries that number; else as a string block
// of its first 255 characters; any other format but CF_UNICODETEXT gets the
// ANSI text and its NUL. No byte past the text's NUL is read (the copy ends
// there, and ASan watches).
//
// Input: byte 0 chooses the format (XlTable, XlTable sign-extended as Wine
// hands it, CF_TEXT, or the byte itself); the rest is the text, up to its
// first NUL and at most the 1023 bytes of a value.
#include "core/registry.h"
#include "core/text_encoding.h"
#include "dde/dde_render.h"
#include "dde/dde_service.h"
#include "standin.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/program_driver.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static UINT format_for(uint8_t choice)
{
    switch (choice & 3) {
    case 0:
        return xltable_format;
    case 1:
        return xltable_format | 0xFFFF0000u;
    case 2:
        return CF_TEXT;
    default:
        return choice;
    }
}

static unsigned word_at(const std::string &bytes, size_t at)
{
    return static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8;
}

static void check_xltable(const std::string &bytes, const char *text)
{
    FUZZ_CHECK(bytes.size() >= 12);
    FUZZ_CHECK(word_at(bytes, 0) == 0x0010 && word_at(bytes, 2) == 4);
    FUZZ_CHECK(word_at(bytes, 4) == 1 && word_at(bytes, 6) == 1);
    char *end = nullptr;
    double number = std::strtod(text, &end);
    bool whole_number = end != text && *end == '\0' && std::isfinite(number);
    if (word_at(bytes, 8) == 0x0001) {
        FUZZ_CHECK(whole_number);
        FUZZ_CHECK(bytes.size() == 20 && word_at(bytes, 10) == 8);
        double sent;
        std::memcpy(&sent, bytes.data() + 12, 8);  // the hosts are little-endian, as is the format
        FUZZ_CHECK(std::memcmp(&sent, &number, 8) == 0);
    } else {
        FUZZ_CHECK(!whole_number);
        FUZZ_CHECK(word_at(bytes, 8) == 0x0002);
        size_t n = std::strlen(text) < 255 ? std::strlen(text) : 255;
        FUZZ_CHECK(bytes.size() == 13 + n);
        FUZZ_CHECK(word_at(bytes, 10) == n + 1);
        FUZZ_CHECK(static_cast<unsigned char>(bytes[12]) == n);
        FUZZ_CHECK(bytes.compare(13, n, text, n) == 0);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    fresh_process();
    InitializeCriticalSectionAndSpinCount(&registry_lock, 1024);
    DdeStartReport report;
    FUZZ_CHECK(dde_start(&report));
    UINT format = format_for(data[0]);
    std::vector<char> text(data + 1, data + (size > VALUE_TEXT_SIZE ? VALUE_TEXT_SIZE : size));
    text.push_back('\0');
    char ansi[VALUE_TEXT_SIZE];
    value_to_ansi(text.data(), ansi, sizeof ansi);

    bool numeric = is_numeric(text.data());
    HSZ item = standin::hsz("1234.lastprice");
    HDDEDATA handle = render_dde_data(format, item, text.data());
    FUZZ_CHECK(handle != nullptr);
    const standin::DataRecord &record = standin::records().data.back();
    FUZZ_CHECK(!(record.flags & HDATA_APPOWNED));
    FUZZ_CHECK(record.item == "1234.lastprice");
    char *end = nullptr;
    std::strtod(text.data(), &end);
    FUZZ_CHECK(numeric == (end != text.data() && *end == '\0'));
    if ((format & 0xFFFF) == (xltable_format & 0xFFFF)) {
        check_xltable(record.bytes, ansi);
    } else if ((format & 0xFFFF) != CF_UNICODETEXT) {
        FUZZ_CHECK(record.bytes == std::string(ansi, std::strlen(ansi) + 1));
    }
    FUZZ_CHECK(render_dde_data(format, item, nullptr) == nullptr);
    fresh_process();
    return 0;
}
