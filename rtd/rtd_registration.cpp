#include "rtd/rtd_registration.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

// Room for the longest path Windows allows (32,767 units), the quotes and a NUL.
constexpr DWORD PATH_ROOM = 32770;
constexpr size_t KEY_ROOM = 128;

static WCHAR server_command[PATH_ROOM];

// Key names and GUIDs are ASCII; the registry calls are wide, as the path is.
static void widen(const char *ascii, WCHAR *out)
{
    while ((*out++ = static_cast<unsigned char>(*ascii++)) != 0) {
    }
}

static size_t wide_length(const WCHAR *text)
{
    size_t length = 0;
    while (text[length])
        ++length;
    return length;
}

static void classes_key(const char *sub_key, WCHAR *out)
{
    char path[KEY_ROOM] = "Software\\Classes\\";
    std::strncat(path, sub_key, sizeof path - std::strlen(path) - 1);
    widen(path, out);
}

// True when the key's default value is exactly expected.
static bool value_is(const char *sub_key, const WCHAR *expected)
{
    WCHAR path[KEY_ROOM];
    classes_key(sub_key, path);
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    static WCHAR found[PATH_ROOM];
    DWORD type = 0;
    DWORD size = sizeof found - sizeof(WCHAR);
    LONG result = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(found), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ)
        return false;
    found[size / sizeof(WCHAR)] = 0;
    size_t length = wide_length(expected);
    // A stored string may or may not count its NUL.
    return wide_length(found) == length && std::memcmp(found, expected, length * sizeof(WCHAR)) == 0;
}

static bool set_value(const char *sub_key, const WCHAR *value)
{
    WCHAR path[KEY_ROOM];
    classes_key(sub_key, path);
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    DWORD size = static_cast<DWORD>((wide_length(value) + 1) * sizeof(WCHAR));
    LONG result = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(value), size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

static bool set_ascii_value(const char *sub_key, const char *value)
{
    WCHAR wide[KEY_ROOM];
    widen(value, wide);
    return set_value(sub_key, wide);
}

bool register_rtd_class()
{
    // "<path>", quoted: a path may hold blanks, and COM appends -Embedding.
    DWORD length = GetModuleFileNameW(nullptr, server_command + 1, PATH_ROOM - 3);
    if (length == 0 || length >= PATH_ROOM - 3)
        return false;
    server_command[0] = '"';
    server_command[length + 1] = '"';
    server_command[length + 2] = 0;

    char progid_clsid[KEY_ROOM], clsid[KEY_ROOM], server[KEY_ROOM], progid[KEY_ROOM];
    std::snprintf(progid_clsid, sizeof progid_clsid, "%s\\CLSID", RTD_PROGID);
    std::snprintf(clsid, sizeof clsid, "CLSID\\%s", RTD_CLSID);
    std::snprintf(server, sizeof server, "CLSID\\%s\\LocalServer32", RTD_CLSID);
    std::snprintf(progid, sizeof progid, "CLSID\\%s\\ProgID", RTD_CLSID);
    WCHAR wide_clsid[KEY_ROOM];
    widen(RTD_CLSID, wide_clsid);
    if (value_is(progid_clsid, wide_clsid) && value_is(server, server_command))
        return true;

    return set_ascii_value(RTD_PROGID, "Quellvarden Vantrel RTD server") &&
           set_ascii_value(progid_clsid, RTD_CLSID) && set_ascii_value(clsid, RTD_PROGID) &&
           set_value(server, server_command) && set_ascii_value(progid, RTD_PROGID);
}
