#include "rtd/rtd_registration.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

// Room for the longest path Windows allows (32,767 units), the quotes and a NUL.
constexpr DWORD PATH_ROOM = 32770;
constexpr size_t KEY_ROOM = 160;
constexpr size_t GUID_TEXT_LENGTH = 38;  // {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}
// The type-library marshaler of oleaut32: the proxy stub of every dual interface.
constexpr char TYPE_LIBRARY_MARSHALER[] = "{00020424-0000-0000-C000-000000000046}";
constexpr char LIBRARY_TITLE[] = "Quellvarden Vantrel RTD server";

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

// The key root\<prefix><sub_key>, opened with access (which names the view).
static bool open_key(HKEY root, const char *prefix, const char *sub_key, REGSAM access, HKEY *key)
{
    char ascii[KEY_ROOM];
    std::snprintf(ascii, sizeof ascii, "%s%s", prefix, sub_key);
    WCHAR path[KEY_ROOM];
    widen(ascii, path);
    return RegOpenKeyExW(root, path, 0, access, key) == ERROR_SUCCESS;
}

// The REG_SZ value `name` (null: the default) of root\<prefix><sub_key> in
// one view, NUL-terminated in out (room units); false when missing, of
// another type or longer than out.
static bool read_text(HKEY root, const char *prefix, const char *sub_key, const char *name, REGSAM view,
                      WCHAR *out, DWORD room)
{
    HKEY key;
    if (!open_key(root, prefix, sub_key, KEY_QUERY_VALUE | view, &key))
        return false;
    WCHAR wide_name[KEY_ROOM];
    if (name)
        widen(name, wide_name);
    DWORD type = 0;
    DWORD size = (room - 1) * sizeof(WCHAR);
    LONG result = RegQueryValueExW(key, name ? wide_name : nullptr, nullptr, &type,
                                   reinterpret_cast<LPBYTE>(out), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ)
        return false;
    out[size / sizeof(WCHAR)] = 0;  // a stored string may or may not count its NUL
    return true;
}

static bool wide_equals(const WCHAR *wide, const WCHAR *expected)
{
    size_t length = wide_length(expected);
    return wide_length(wide) == length && std::memcmp(wide, expected, length * sizeof(WCHAR)) == 0;
}

// GUIDs compare without regard to the case of their hex digits.
static bool names_guid(const WCHAR *text, const char *guid)
{
    if (wide_length(text) != GUID_TEXT_LENGTH)
        return false;
    for (size_t i = 0; i < GUID_TEXT_LENGTH; ++i) {
        WCHAR a = text[i], b = static_cast<unsigned char>(guid[i]);
        if (a >= 'a' && a <= 'f')
            a = static_cast<WCHAR>(a - 'a' + 'A');
        if (b >= 'a' && b <= 'f')
            b = static_cast<WCHAR>(b - 'a' + 'A');
        if (a != b)
            return false;
    }
    return true;
}

// A GUID in braces, as the registry keeps them, in ASCII.
static bool guid_text(const WCHAR *text, char *out)
{
    if (wide_length(text) != GUID_TEXT_LENGTH || text[0] != '{' || text[GUID_TEXT_LENGTH - 1] != '}')
        return false;
    for (size_t i = 0; i <= GUID_TEXT_LENGTH; ++i) {
        if (text[i] > 0x7F)
            return false;
        out[i] = static_cast<char>(text[i]);
    }
    return true;
}

// "1.0": major and minor in hexadecimal, each at least one digit.
static bool parse_version(const WCHAR *text, unsigned *major, unsigned *minor)
{
    unsigned *part = major;
    *major = *minor = 0;
    bool digits = false;
    for (; *text; ++text) {
        WCHAR c = *text;
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c == '.' && part == major && digits) {
            part = minor;
            digits = false;
            continue;
        } else
            return false;
        *part = *part * 16 + digit;
        if (*part > 0xFFFF)
            return false;
        digits = true;
    }
    return part == minor && digits;
}

static bool set_text(HKEY root, const char *sub_key, const char *name, const WCHAR *value)
{
    char ascii[KEY_ROOM];
    std::snprintf(ascii, sizeof ascii, "Software\\Classes\\%s", sub_key);
    WCHAR path[KEY_ROOM];
    widen(ascii, path);
    HKEY key;
    if (RegCreateKeyExW(root, path, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    WCHAR wide_name[KEY_ROOM];
    if (name)
        widen(name, wide_name);
    DWORD size = static_cast<DWORD>((wide_length(value) + 1) * sizeof(WCHAR));
    LONG result = RegSetValueExW(key, name ? wide_name : nullptr, 0, REG_SZ,
                                 reinterpret_cast<const BYTE *>(value), size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

static bool set_ascii(HKEY root, const char *sub_key, const char *name, const char *value)
{
    WCHAR wide[KEY_ROOM];
    widen(value, wide);
    return set_text(root, sub_key, name, wide);
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
    static WCHAR found[PATH_ROOM];
    // Installed for every user: the machine's keys serve, and an elevated
    // Excel reads only those.
    if (read_text(HKEY_LOCAL_MACHINE, "Software\\Classes\\", server, nullptr, KEY_WOW64_64KEY, found,
                  PATH_ROOM) &&
        wide_equals(found, server_command))
        return true;
    WCHAR wide_clsid[KEY_ROOM];
    widen(RTD_CLSID, wide_clsid);
    if (read_text(HKEY_CURRENT_USER, "Software\\Classes\\", progid_clsid, nullptr, KEY_WOW64_64KEY, found,
                  PATH_ROOM) &&
        wide_equals(found, wide_clsid) &&
        read_text(HKEY_CURRENT_USER, "Software\\Classes\\", server, nullptr, KEY_WOW64_64KEY, found,
                  PATH_ROOM) &&
        wide_equals(found, server_command))
        return true;

    return set_ascii(HKEY_CURRENT_USER, RTD_PROGID, nullptr, "Quellvarden Vantrel RTD server") &&
           set_ascii(HKEY_CURRENT_USER, progid_clsid, nullptr, RTD_CLSID) &&
           set_ascii(HKEY_CURRENT_USER, clsid, nullptr, RTD_PROGID) &&
           set_text(HKEY_CURRENT_USER, server, nullptr, server_command) &&
           set_ascii(HKEY_CURRENT_USER, progid, nullptr, RTD_PROGID);
}

bool interface_usable(const char *iid, LibraryLoads loads)
{
    char stub[KEY_ROOM], library_key[KEY_ROOM];
    std::snprintf(stub, sizeof stub, "Interface\\%s\\ProxyStubClsid32", iid);
    std::snprintf(library_key, sizeof library_key, "Interface\\%s\\TypeLib", iid);
    WCHAR text[KEY_ROOM];
    char library[GUID_TEXT_LENGTH + 1];
    if (!read_text(HKEY_CLASSES_ROOT, "", stub, nullptr, KEY_WOW64_64KEY, text, KEY_ROOM) ||
        !guid_text(text, library))
        return false;
    if (!read_text(HKEY_CLASSES_ROOT, "", library_key, nullptr, KEY_WOW64_64KEY, text, KEY_ROOM) ||
        !guid_text(text, library))
        return false;
    unsigned major, minor;
    if (!read_text(HKEY_CLASSES_ROOT, "", library_key, "Version", KEY_WOW64_64KEY, text, KEY_ROOM) ||
        !parse_version(text, &major, &minor))
        return false;
    return loads(library, major, minor, iid);
}

bool register_rtd_interfaces(HKEY root, const WCHAR *module, LibraryLoads loads)
{
    if (interface_usable(RTD_SERVER_IID, loads) && interface_usable(RTD_UPDATE_EVENT_IID, loads))
        return true;
    static const struct {
        const char *iid, *name;
    } INTERFACES[] = {{RTD_SERVER_IID, "IRtdServer"}, {RTD_UPDATE_EVENT_IID, "IRTDUpdateEvent"}};
    char key[KEY_ROOM];
    for (const auto &interface : INTERFACES) {
        std::snprintf(key, sizeof key, "Interface\\%s", interface.iid);
        if (!set_ascii(root, key, nullptr, interface.name))
            return false;
        std::snprintf(key, sizeof key, "Interface\\%s\\ProxyStubClsid32", interface.iid);
        if (!set_ascii(root, key, nullptr, TYPE_LIBRARY_MARSHALER))
            return false;
        std::snprintf(key, sizeof key, "Interface\\%s\\TypeLib", interface.iid);
        if (!set_ascii(root, key, nullptr, RTD_LIBID) || !set_ascii(root, key, "Version", "1.0"))
            return false;
    }
    std::snprintf(key, sizeof key, "TypeLib\\%s\\1.0", RTD_LIBID);
    if (!set_ascii(root, key, nullptr, LIBRARY_TITLE))
        return false;
    std::snprintf(key, sizeof key, "TypeLib\\%s\\1.0\\FLAGS", RTD_LIBID);
    if (!set_ascii(root, key, nullptr, "0"))
        return false;
    std::snprintf(key, sizeof key, "TypeLib\\%s\\1.0\\0\\win64", RTD_LIBID);
    return set_text(root, key, nullptr, module);
}

void remove_rtd_interfaces(HKEY root, REGSAM view)
{
    const REGSAM access = KEY_READ | KEY_WRITE | DELETE | view;
    char key[KEY_ROOM];
    WCHAR name[KEY_ROOM];
    HKEY parent;
    for (const char *iid : {RTD_SERVER_IID, RTD_UPDATE_EVENT_IID}) {
        std::snprintf(key, sizeof key, "Interface\\%s\\TypeLib", iid);
        WCHAR library[KEY_ROOM];
        if (!read_text(root, "Software\\Classes\\", key, nullptr, view, library, KEY_ROOM) ||
            !names_guid(library, RTD_LIBID))
            continue;
        if (open_key(root, "Software\\Classes\\", "Interface", access, &parent)) {
            widen(iid, name);
            RegDeleteTreeW(parent, name);
            RegCloseKey(parent);
        }
    }
    // The library's key is one for both views (Windows shares TypeLib between
    // them, as Wine does): it goes only with the program's 64-bit keys.
    if (view == KEY_WOW64_64KEY && open_key(root, "Software\\Classes\\", "TypeLib", access, &parent)) {
        widen(RTD_LIBID, name);
        RegDeleteTreeW(parent, name);
        RegCloseKey(parent);
    }
}

void register_user_rtd_interfaces(const WCHAR *module, LibraryLoads loads)
{
    remove_rtd_interfaces(HKEY_CURRENT_USER, KEY_WOW64_32KEY);
    remove_rtd_interfaces(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY);
    // Ours never goes over one that works.
    if (module)
        register_rtd_interfaces(HKEY_CURRENT_USER, module, loads);
}
