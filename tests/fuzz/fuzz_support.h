// What the fuzz targets share. A broken invariant is a finding: FUZZ_CHECK
// says which one and aborts, and libFuzzer keeps the input that broke it.
#pragma once
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition);           \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

// What a user answers a message box with, chosen by two bits of the input:
// OK, Cancel, Yes or No.
inline int box_answer(uint8_t choice)
{
    static const int ANSWERS[4] = {IDOK, IDCANCEL, IDYES, IDNO};
    return ANSWERS[choice & 3];
}
