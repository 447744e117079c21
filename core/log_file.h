// The log file, %LOCALAPPDATA%\Quellvarden\Vantrel\vantrel.log: the lines
// of core/log.h appended at most once a frame, by a write of their own, so
// that a second copy of the program (one that COM started and that cannot
// serve) may append between them. At LOG_ROTATE_SIZE the copy that holds
// the port renames vantrel.1.log to vantrel.2.log (an older .2 goes) and
// vantrel.log to vantrel.1.log; a copy without the port only appends.
#pragma once
#include <windows.h>

#include <cstddef>

constexpr size_t LOG_PATH_ROOM = 400;

struct LogFile {
    WCHAR folder[LOG_PATH_ROOM];  // with its final backslash; empty until located
    WCHAR path[LOG_PATH_ROOM];    // folder + vantrel.log
    bool located;                 // folder and path are set and the folder exists
    bool holds_port;              // this copy's listener is bound: it alone renames
    bool failure_told;            // status line 4 said once that the log cannot be written
};

extern LogFile log_file;

// Finds the folder and creates it where it is missing. Gives 0, or the
// error when there is no LOCALAPPDATA or the folder cannot be made.
DWORD locate_log();

// Appends every waiting line to the file and empties the buffer, written or
// not: when the file cannot be written the lines are dropped, the program
// runs on, and status line 4 says so the first time. Renames first when the
// file has reached the size limit and this copy holds the port.
void write_log();

// WM_TIMER of LOG_TIMER_ID: bursts whose second ended are told, the lines
// written; the timer stops once no burst is counting.
void on_log_timer();
