// The program's clock: the system time, read once per feed message and at
// each tick of the Status topic's clock, and the local wall time of an
// instant. Times are kept as system times (UTC) and turned into local time
// only where a sheet reads them.
#pragma once
#include <windows.h>

#include <cstdint>

// A system time: 100-ns ticks since 1601-01-01 00:00 UTC, as a FILETIME
// holds them. 0 stands for "never" wherever a time is kept.
constexpr uint64_t TICKS_PER_MS = 10000;
constexpr uint64_t TICKS_PER_SECOND = 10000000;

// What the clock resolved and the last instant it converted; all zero at
// load. The conversion is remembered because every field of one message,
// and every cell on such a field, ask for the same instant.
struct ClockState {
    bool resolved;                      // the precise call was looked up
    void(WINAPI *precise)(LPFILETIME);  // GetSystemTimePreciseAsFileTime, where present
    uint64_t converted;                 // the instant of `local`; 0: none yet
    SYSTEMTIME local;
};

extern ClockState clock_state;

// The system time now: GetSystemTimePreciseAsFileTime where the system has
// it (Windows 8 and later), else GetSystemTimeAsFileTime.
uint64_t read_system_time();

// The local wall time of a system time, by the time-zone rules in force at
// that instant, so that a daylight-saving change shows as the wall clock
// does (SystemTimeToTzSpecificLocalTime; FileTimeToLocalFileTime would
// apply today's offset to every instant). False when the system cannot
// convert it: 0, or beyond what a SYSTEMTIME holds.
bool local_time_of(uint64_t system_time, SYSTEMTIME *local);
