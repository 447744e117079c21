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
        misuse("RegOpenKeyExW: only named keys under HKEY_CURRENT_USER are supported");
    return RegOpenKeyExA(key, narrow(sub_key).c_str(), options, access, result);
}

LONG RegCreateKeyExW(HKEY key, LPCWSTR sub_key, DWORD reserved, LPWSTR, DWORD options, REGSAM access,
                     LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition)
{
    if (!sub_key)
        misuse("RegCreateKeyExW: only named keys under HKEY_CURRENT_USER are supported");
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
