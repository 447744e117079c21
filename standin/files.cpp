// kernel32: the environment and the log's folder and file, in memory; and
// shell32's ShellExecuteW, recorded.
#include "state.h"

namespace standin {
FileSystem &file_system()
{
    return P().files;
}
}  // namespace standin

using namespace standin;

// The folder a path lies in: everything before its last backslash.
static std::u16string parent_of(const std::u16string &path)
{
    size_t slash = path.rfind(u'\\');
    return slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
}

// 0 when a file or folder may be made at path, else the error.
static DWORD may_create_in(const std::u16string &path)
{
    auto parent = P().files.folders.find(parent_of(path));
    if (parent == P().files.folders.end())
        return ERROR_PATH_NOT_FOUND;
    return parent->second ? 0 : ERROR_ACCESS_DENIED;
}

static std::u16string path_of(LPCWSTR path)
{
    return path ? std::u16string(path) : std::u16string();
}

DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size)
{
    auto &environment = P().script.environment;
    auto found = environment.find(path_of(name));
    if (found == environment.end()) {
        set_last_error(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    const std::u16string &value = found->second;
    if (value.size() + 1 > size)
        return static_cast<DWORD>(value.size() + 1);  // the room it needs, its NUL included
    std::copy(value.begin(), value.end(), buffer);
    buffer[value.size()] = 0;
    return static_cast<DWORD>(value.size());
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES)
{
    std::u16string folder = path_of(path);
    FileSystem &fs = P().files;
    if (fs.folders.count(folder) || fs.files.count(folder)) {
        set_last_error(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (DWORD error = may_create_in(folder)) {
        set_last_error(error);
        return FALSE;
    }
    fs.folders[folder] = true;
    return TRUE;
}

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD,
                   HANDLE)
{
    if (access != FILE_APPEND_DATA || disposition != OPEN_ALWAYS || !(share & FILE_SHARE_WRITE))
        misuse("CreateFileW: only a shared append to a file opened always is imitated");
    ++P().records.file_opens;
    std::u16string file = path_of(path);
    FileSystem &fs = P().files;
    if (!fs.files.count(file)) {
        if (DWORD error = may_create_in(file)) {
            set_last_error(error);
            return INVALID_HANDLE_VALUE;
        }
        fs.files[file];
    }
    HANDLE handle = make_handle<HANDLE>(kFileBase, ++P().files_opened);
    P().open_files[handle] = file;
    return handle;
}

static const std::u16string &open_file(HANDLE handle, const char *call)
{
    auto found = P().open_files.find(handle);
    if (found == P().open_files.end())
        misuse(call);
    return found->second;
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size)
{
    size->QuadPart =
        static_cast<int64_t>(P().files.files[open_file(file, "GetFileSizeEx: no open file")].size());
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void *bytes, DWORD length, LPDWORD written, LPOVERLAPPED)
{
    ++P().records.file_writes;
    P().files.files[open_file(file, "WriteFile: no open file")].append(static_cast<const char *>(bytes),
                                                                       length);
    if (written)
        *written = length;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle)
{
    open_file(handle, "CloseHandle: no open file");
    P().open_files.erase(handle);
    return TRUE;
}

BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    std::u16string source = path_of(from), target = path_of(to);
    FileSystem &fs = P().files;
    for (const auto &open : P().open_files) {
        if (open.second == source || open.second == target)
            misuse("MoveFileExW: a file still open here");
    }
    if (!fs.files.count(source)) {
        set_last_error(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    if (fs.files.count(target) && !(flags & MOVEFILE_REPLACE_EXISTING)) {
        set_last_error(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (DWORD error = may_create_in(target)) {
        set_last_error(error);
        return FALSE;
    }
    fs.files[target] = std::move(fs.files[source]);
    fs.files.erase(source);
    return TRUE;
}

HINSTANCE ShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR, LPCWSTR, INT show)
{
    P().records.shell_executes.push_back({owner, path_of(verb), path_of(file), show});
    return reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(P().script.shell_execute_result));
}
