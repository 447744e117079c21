// advapi32: the registry of HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE, in
// memory, each in a 64-bit and a 32-bit view (KEY_WOW64_32KEY; every key is
// per view here). HKEY_CLASSES_ROOT reads root\Software\Classes of the user
// before the machine's, as Windows merges them. Key paths and value names are
// compared without regard to ASCII case, as Windows does.
#include "state.h"

#include <algorithm>
#include <cstring>

namespace standin {

static std::string folded(std::string text)
{
    for (char &c : text)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
}

// The key's name in the map: the hive's prefix and the folded path.
static std::string stored(Hive hive, const std::string &path)
{
    static const char *const PREFIX[] = {"", "hklm:", "wow32:", "hklm:wow32:"};
    return PREFIX[static_cast<int>(hive)] + folded(path);
}

std::optional<RegistryValue> registry_value(const std::string &key, const std::string &name, Hive hive)
{
    auto k = P().registry.find(stored(hive, key));
    if (k == P().registry.end())
        return std::nullopt;
    auto v = k->second.find(folded(name));
    if (v == k->second.end())
        return std::nullopt;
    return v->second;
}

void set_registry_value(const std::string &key, const std::string &name, DWORD type, const std::string &bytes,
                        Hive hive)
{
    P().registry[stored(hive, key)][folded(name)] = RegistryValue{type, bytes};
}

// A key exists when it was made or a key below it was: creating a key makes
// its parents, as on Windows.
static bool key_exists(const std::string &path)
{
    for (auto k = P().registry.lower_bound(path);
         k != P().registry.end() && k->first.compare(0, path.size(), path) == 0; ++k) {
        if (k->first.size() == path.size() || k->first[path.size()] == '\\')
            return true;
    }
    return false;
}

bool registry_key_exists(const std::string &key, Hive hive)
{
    return key_exists(stored(hive, key));
}

std::string dword_bytes(DWORD value)
{
    return std::string(reinterpret_cast<const char *>(&value), sizeof value);  // little-endian, as on Windows
}

static HKEY open_key(const std::string &path)
{
    HKEY key = make_handle<HKEY>(kKeyBase, ++P().keys_opened);
    P().open_keys[key] = path;
    return key;
}

static const std::string *key_path(HKEY key)
{
    auto it = P().open_keys.find(key);
    return it == P().open_keys.end() ? nullptr : &it->second;
}

std::string wide_string_bytes(const std::u16string &text)
{
    std::string bytes;
    for (char16_t unit : text + u'\0') {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

// A wide key path or value name in UTF-8 (surrogates are not needed here).
static std::string narrow(LPCWSTR text)
{
    std::string out;
    for (; text && *text; ++text) {
        char16_t c = *text;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace standin

using namespace standin;

LONG RegOpenKeyExW(HKEY key, LPCWSTR sub_key, DWORD options, REGSAM access, PHKEY result)
{
    if (!sub_key)
        misuse("RegOpenKeyExW: only named keys under a root are supported");
    return RegOpenKeyExA(key, narrow(sub_key).c_str(), options, access, result);
}

LONG RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD reserved, LPWSTR, DWORD options, REGSAM access,
                     LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition)
{
    if (!sub_key)
        misuse("RegCreateKeyExW: only named keys under a root are supported");
    return RegCreateKeyExA(key, narrow(sub_key).c_str(), reserved, nullptr, options, access, security, result,
                           disposition);
}

LONG RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
    return RegQueryValueExA(key, narrow(name).c_str(), reserved, type, data, size);
}

LONG RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size)
{
    return RegSetValueExA(key, narrow(name).c_str(), reserved, type, data, size);
}

// The hive a root opens in the view that access asks for.
static Hive hive_of(HKEY root, REGSAM access)
{
    bool view32 = (access & KEY_WOW64_32KEY) != 0;
    if (root == HKEY_CURRENT_USER)
        return view32 ? Hive::user32 : Hive::user;
    if (root == HKEY_LOCAL_MACHINE)
        return view32 ? Hive::machine32 : Hive::machine;
    misuse("the registry: only HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT are supported");
}

LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD, REGSAM access, PHKEY result)
{
    if (!sub_key)
        misuse("RegOpenKeyExA: only named keys under a root are supported");
    if (key == HKEY_CLASSES_ROOT) {
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            std::string path = stored(hive_of(root, access), std::string("software\\classes\\") + sub_key);
            if (key_exists(path)) {
                *result = open_key(path);
                return ERROR_SUCCESS;
            }
        }
        return ERROR_FILE_NOT_FOUND;
    }
    std::string path = stored(hive_of(key, access), sub_key);
    if (!key_exists(path))
        return ERROR_FILE_NOT_FOUND;
    *result = open_key(path);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD, LPSTR, DWORD, REGSAM access, LPSECURITY_ATTRIBUTES,
                     PHKEY result, LPDWORD disposition)
{
    if (!sub_key)
        misuse("RegCreateKeyExA: only named keys under a root are supported");
    std::string path = stored(hive_of(key, access), sub_key);
    bool existed = key_exists(path);
    P().registry[path];
    if (disposition)
        *disposition = existed ? 2 : 1;  // REG_OPENED_EXISTING_KEY, REG_CREATED_NEW_KEY
    *result = open_key(path);
    return ERROR_SUCCESS;
}

LONG RegDeleteTreeW(HKEY key, LPCWSTR sub_key)
{
    const std::string *parent = key_path(key);
    if (!parent || !sub_key)
        misuse("RegDeleteTreeW: only a named key under an open key is supported");
    std::string path = *parent + "\\" + folded(narrow(sub_key));
    auto &keys = P().registry;
    if (!key_exists(path))
        return ERROR_FILE_NOT_FOUND;
    for (auto k = keys.lower_bound(path); k != keys.end() && k->first.compare(0, path.size(), path) == 0;) {
        if (k->first.size() == path.size() || k->first[path.size()] == '\\')
            k = keys.erase(k);
        else
            ++k;
    }
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size)
{
    const std::string *path = key_path(key);
    if (!path)
        misuse("RegQueryValueExA on a key that is not open");
    auto v = P().registry[*path].find(folded(name ? name : ""));
    if (v == P().registry[*path].end())
        return ERROR_FILE_NOT_FOUND;
    if (type)
        *type = v->second.type;
    DWORD needed = static_cast<DWORD>(v->second.bytes.size());
    if (data && size && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (data)
        std::memcpy(data, v->second.bytes.data(), needed);
    if (size)
        *size = needed;
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE *data, DWORD size)
{
    const std::string *path = key_path(key);
    if (!path)
        misuse("RegSetValueExA on a key that is not open");
    P().records.registry_writes++;
    P().registry[*path][folded(name ? name : "")] =
        RegistryValue{type, std::string(reinterpret_cast<const char *>(data), size)};
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key)
{
    if (!P().open_keys.erase(key))
        misuse("RegCloseKey on a key that is not open");
    return ERROR_SUCCESS;
}
