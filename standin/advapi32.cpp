// advapi32: the registry of HKEY_CURRENT_USER, in memory. Key paths and
// value names are compared without regard to ASCII case, as Windows does.
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

std::optional<RegistryValue> registry_value(const std::string &key, const std::string &name)
{
    auto k = P().registry.find(folded(key));
    if (k == P().registry.end())
        return std::nullopt;
    auto v = k->second.find(folded(name));
    if (v == k->second.end())
        return std::nullopt;
    return v->second;
}

void set_registry_value(const std::string &key, const std::string &name, DWORD type, const std::string &bytes)
{
    P().registry[folded(key)][folded(name)] = RegistryValue{type, bytes};
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

}  // namespace standin

using namespace standin;

LONG RegOpenKeyExA(HKEY key, LPCSTR sub_key, DWORD, REGSAM, PHKEY result)
{
    if (key != HKEY_CURRENT_USER || !sub_key)
        misuse("RegOpenKeyExA: only keys under HKEY_CURRENT_USER are supported");
    std::string path = folded(sub_key);
    if (!P().registry.count(path))
        return ERROR_FILE_NOT_FOUND;
    *result = open_key(path);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY key, LPCSTR sub_key, DWORD, LPSTR, DWORD, REGSAM, LPSECURITY_ATTRIBUTES,
                     PHKEY result, LPDWORD disposition)
{
    if (key != HKEY_CURRENT_USER || !sub_key)
        misuse("RegCreateKeyExA: only keys under HKEY_CURRENT_USER are supported");
    std::string path = folded(sub_key);
    bool existed = P().registry.count(path) != 0;
    P().registry[path];
    if (disposition)
        *disposition = existed ? 2 : 1;  // REG_OPENED_EXISTING_KEY, REG_CREATED_NEW_KEY
    *result = open_key(path);
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
