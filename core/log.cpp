// Log lines formatted into the buffer, bursts counted.
#include "core/log.h"

#include "core/clock.h"
#include "core/excel_time.h"
#include "core/status_board.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

LogState log_state;

static void arm_writer()
{
    if (log_state.timer || !log_state.window)
        return;
    log_state.timer =
        SetTimer(log_state.window, LOG_TIMER_ID, static_cast<UINT>(STATUS_FRAME_MS), nullptr) != 0;
}

void attach_log(HWND window)
{
    log_state.window = window;
    if (log_state.length > 0)
        arm_writer();
}

// Appends one line, "<time> <text>\r\n", when the buffer has room for it.
static void append_line(uint64_t now, const char *format, va_list args)
{
    char line[LOG_LINE_MAX];
    SYSTEMTIME local = {};
    local_time_of(now, &local);
    size_t length = format_time_text(local, line, sizeof line);
    line[length++] = ' ';
    int written = std::vsnprintf(line + length, sizeof line - length - 2, format, args);
    if (written > 0)
        length += static_cast<size_t>(written) < sizeof line - length - 2 ? static_cast<size_t>(written)
                                                                          : sizeof line - length - 3;
    // One event, one line: nothing a feed or a box text holds may start another.
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c == 0x7F)
            line[i] = ' ';
    }
    line[length++] = '\r';
    line[length++] = '\n';
    if (LOG_BUFFER_SIZE - log_state.length < length) {
        ++log_state.dropped;
        return;
    }
    std::memcpy(log_state.buffer + log_state.length, line, length);
    log_state.length += length;
}

static void append(uint64_t now, const char *format, ...) PRINTF_LIKE(2, 3);
static void append(uint64_t now, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    append_line(now, format, args);
    va_end(args);
}

size_t format_count(unsigned long long n, char *out, size_t size)
{
    char digits[32];
    int count = std::snprintf(digits, sizeof digits, "%llu", n);
    size_t length = 0;
    for (int i = 0; i < count && length + 1 < size; ++i) {
        if (i > 0 && (count - i) % 3 == 0 && length + 2 < size)
            out[length++] = ',';
        out[length++] = digits[i];
    }
    if (size > 0)
        out[length] = '\0';
    return length;
}

// A burst's line, and its slot freed: the next time the event comes, its
// line is written again.
static void end_burst(LogBurst &burst, uint64_t now)
{
    if (burst.repeats > 0) {
        char count[32];
        format_count(burst.repeats, count, sizeof count);
        append(now, "... %s more like it in the last second", count);
    }
    burst = LogBurst{};
}

void end_log_bursts(uint64_t now)
{
    for (LogBurst &burst : log_state.bursts) {
        if (burst.format && now - burst.since >= TICKS_PER_SECOND)
            end_burst(burst, now);
    }
    if (log_state.dropped > 0 && log_state.length == 0) {
        char count[32];
        format_count(log_state.dropped, count, sizeof count);
        log_state.dropped = 0;
        append(now, "... %s lines dropped: they came faster than the log could be written", count);
    }
}

bool log_bursts_open()
{
    for (const LogBurst &burst : log_state.bursts) {
        if (burst.format)
            return true;
    }
    return false;
}

void log_event(const char *format, ...)
{
    uint64_t now = read_system_time();
    // A repeat within the second is counted: a feed that sends ten thousand
    // refused updates a second costs one comparison each.
    LogBurst *slot = nullptr;
    for (LogBurst &burst : log_state.bursts) {
        if (burst.format == format) {
            if (now - burst.since < TICKS_PER_SECOND) {
                ++burst.repeats;
                return;
            }
            end_burst(burst, now);
            slot = &burst;
            break;
        }
    }
    if (!slot) {
        // A free slot, else the one written longest ago gives way.
        slot = &log_state.bursts[0];
        for (LogBurst &burst : log_state.bursts) {
            if (!burst.format) {
                slot = &burst;
                break;
            }
            if (burst.since < slot->since)
                slot = &burst;
        }
        if (slot->format)
            end_burst(*slot, now);
    }
    va_list args;
    va_start(args, format);
    append_line(now, format, args);
    va_end(args);
    *slot = LogBurst{format, now, 0};
    arm_writer();
}

const char *log_excerpt(const char *text, size_t length, char *out)
{
    size_t cut = strnlen(text, length < LOG_EXCERPT_MAX ? length : LOG_EXCERPT_MAX);
    // A cut inside a character would leave half of it: back to its lead byte.
    if (cut < length && cut == LOG_EXCERPT_MAX) {
        size_t back = cut;
        while (back > 0 && (static_cast<unsigned char>(text[back]) & 0xC0) == 0x80)
            --back;
        cut = back;
    }
    std::memcpy(out, text, cut);
    out[cut] = '\0';
    return out;
}

bool log_rotation_due(uint64_t file_size, bool holds_port)
{
    return holds_port && file_size >= LOG_ROTATE_SIZE;
}
