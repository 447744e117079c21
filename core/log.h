// The program's log: one line per event that a user or a feed author may
// ask "why?" about, each behind the local time to the millisecond:
//     2024-03-01 09:30:00.125 Update refused: value is true: {"key":"1234.bid","value":true}
// Lines are formatted into a buffer here, cheaply and without touching a
// file; the log file (core/log_file.h) writes them out at most once a frame.
// A burst of one event is counted rather than repeated:
//     2024-03-01 09:30:01.130 ... 9,998 more like it in the last second
#pragma once
#include "core/printf_like.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>

constexpr size_t LOG_BUFFER_SIZE = 64 * 1024;  // lines waiting to be written; beyond it they are dropped
constexpr size_t LOG_LINE_MAX = 512;           // one line, its time and CRLF included; longer ones are cut
constexpr size_t LOG_EXCERPT_MAX = 200;        // bytes of a feed message that a line quotes
constexpr int LOG_BURST_SLOTS = 8;             // events whose repeats can be counted at the same time
constexpr uint64_t LOG_ROTATE_SIZE = 1024 * 1024;

// The window timer by which the writer runs, once a frame while lines wait.
constexpr UINT_PTR LOG_TIMER_ID = 1033;

// An event written lately: its repeats within the second after its line
// are counted, and told in one line when the second ends.
struct LogBurst {
    const char *format;          // the event's format string; null: the slot is free
    uint64_t since;              // system time of the event's line
    unsigned long long repeats;  // since then, counted and not written
};

// Invariant: buffer[0..length) holds whole lines, each ended by CRLF.
struct LogState {
    char buffer[LOG_BUFFER_SIZE];
    size_t length;
    unsigned long long dropped;  // lines that found the buffer full, not yet told
    LogBurst bursts[LOG_BURST_SLOTS];
    HWND window;  // where LOG_TIMER_ID runs; none: lines wait for the next write
    bool timer;   // LOG_TIMER_ID runs
};

extern LogState log_state;

// Once start-up has succeeded: lines logged until then are written by the
// window's timer from now on.
void attach_log(HWND window);

// One event: the formatted text behind the local time, on a line of its
// own (control characters become blanks, the line is cut to LOG_LINE_MAX).
// The same format again within a second of its line is only counted. Arms
// the writer's timer. Never waits and never touches a file. Called on the
// message-loop thread only, as everything that has an event to log runs
// there (feed reads, DDE callbacks, the RTD server's COM calls).
void log_event(const char *format, ...) PRINTF_LIKE(1, 2);

// Every burst whose second has ended by now (a system time) gets its line
// "... N more like it in the last second" and its slot is freed.
void end_log_bursts(uint64_t now);
// Whether any event is still counting repeats (the writer must look again).
bool log_bursts_open();

// At most LOG_EXCERPT_MAX bytes of text[0..length), up to a NUL, cut back
// to the start of a UTF-8 sequence, into out (LOG_EXCERPT_MAX + 1 bytes).
// Gives out.
const char *log_excerpt(const char *text, size_t length, char *out);

// Whether this write must first rename the files: the log has reached
// LOG_ROTATE_SIZE, and only the copy that holds the port renames.
bool log_rotation_due(uint64_t file_size, bool holds_port);

// "9,998": n with a comma between each group of three digits.
size_t format_count(unsigned long long n, char *out, size_t size);
