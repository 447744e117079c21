// The log's lines written to its file, and the file renamed at its size limit.
#include "core/log_file.h"

#include "core/clock.h"
#include "core/log.h"
#include "core/status_board.h"

#include <cstring>

LogFile log_file;

static const char LOG_FOLDERS[] = "Quellvarden\\Vantrel\\";
static const char LOG_NAME[] = "vantrel.log";

// Appends ASCII text to a wide one of LOG_PATH_ROOM characters; false when it
// does not fit.
static bool append_ascii(WCHAR *wide, const char *ascii)
{
    size_t length = 0;
    while (wide[length])
        ++length;
    size_t add = std::strlen(ascii);
    if (length + add + 1 > LOG_PATH_ROOM)
        return false;
    for (size_t i = 0; i <= add; ++i)
        wide[length + i] = static_cast<WCHAR>(static_cast<unsigned char>(ascii[i]));
    return true;
}

static void copy_wide(WCHAR *out, const WCHAR *text)
{
    size_t i = 0;
    for (; text[i] && i + 1 < LOG_PATH_ROOM; ++i)
        out[i] = text[i];
    out[i] = 0;
}

// Creates the folder ending at folder[end] (a backslash) when it is missing.
static bool make_folder(WCHAR *folder, size_t end)
{
    folder[end] = 0;
    bool made = CreateDirectoryW(folder, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
    folder[end] = '\\';
    return made;
}

DWORD locate_log()
{
    const WCHAR name[] = {'L', 'O', 'C', 'A', 'L', 'A', 'P', 'P', 'D', 'A', 'T', 'A', 0};
    WCHAR *folder = log_file.folder;
    DWORD length = GetEnvironmentVariableW(name, folder, static_cast<DWORD>(LOG_PATH_ROOM));
    if (length == 0)
        return GetLastError();
    if (length >= LOG_PATH_ROOM)
        return ERROR_FILENAME_EXCED_RANGE;
    size_t base = length;
    if (folder[length - 1] != '\\') {
        folder[length] = '\\';
        folder[++base] = 0;
    }
    if (!append_ascii(folder, LOG_FOLDERS))
        return ERROR_FILENAME_EXCED_RANGE;
    copy_wide(log_file.path, folder);
    if (!append_ascii(log_file.path, LOG_NAME))
        return ERROR_FILENAME_EXCED_RANGE;
    // Quellvarden, then Quellvarden\Vantrel.
    for (size_t i = base; folder[i]; ++i) {
        if (folder[i] == '\\' && !make_folder(folder, i))
            return GetLastError();
    }
    log_file.located = true;
    return 0;
}

// Shared for reading and writing, so that an editor may show the file and a
// second copy append to it, and for deleting, so that the copy holding the
// port may rename it while the other has it open.
static HANDLE open_log_file()
{
    return CreateFileW(log_file.path, FILE_APPEND_DATA,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

static void rotate_log_files()
{
    WCHAR first[LOG_PATH_ROOM], second[LOG_PATH_ROOM];
    copy_wide(first, log_file.folder);
    copy_wide(second, log_file.folder);
    if (!append_ascii(first, "vantrel.1.log") || !append_ascii(second, "vantrel.2.log"))
        return;
    // An older .2 goes; there is no .1 yet the first time.
    MoveFileExW(first, second, MOVEFILE_REPLACE_EXISTING);
    MoveFileExW(log_file.path, first, MOVEFILE_REPLACE_EXISTING);
}

static void tell_failure(DWORD error)
{
    if (log_file.failure_told)
        return;
    log_file.failure_told = true;
    print_status(STATUS_ERROR,
                 "The log cannot be written in %%LOCALAPPDATA%%\\Quellvarden\\Vantrel (error %lu)",
                 static_cast<unsigned long>(error));
}

void write_log()
{
    if (log_state.length == 0)
        return;
    size_t length = log_state.length;
    // Dropped whatever happens: a log that cannot be written holds no memory.
    log_state.length = 0;
    if (!log_file.located) {
        if (DWORD error = locate_log()) {
            tell_failure(error);
            return;
        }
    }
    HANDLE file = open_log_file();
    LARGE_INTEGER size = {};
    if (file != INVALID_HANDLE_VALUE && GetFileSizeEx(file, &size) &&
        log_rotation_due(static_cast<uint64_t>(size.QuadPart), log_file.holds_port)) {
        CloseHandle(file);
        rotate_log_files();
        file = open_log_file();
    }
    if (file == INVALID_HANDLE_VALUE) {
        tell_failure(GetLastError());
        return;
    }
    DWORD written = 0;
    if (!WriteFile(file, log_state.buffer, static_cast<DWORD>(length), &written, nullptr))
        tell_failure(GetLastError());
    CloseHandle(file);
}

void on_log_timer()
{
    end_log_bursts(read_system_time());
    write_log();
    if (!log_bursts_open()) {
        KillTimer(log_state.window, LOG_TIMER_ID);
        log_state.timer = false;
    }
}
