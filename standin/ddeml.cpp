// DDEML: one instance with its callback, case-insensitive string handles
// (like atoms), data handles kept as byte strings, registered service names,
// and the conversations and advise loops that the test opens as a client.
#include "state.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace standin {

static StringEntry *find_string(HSZ hsz)
{
    uintptr_t n = handle_number(hsz, kStringBase);
    if (n == 0 || n > P().strings.size() || P().strings[n - 1].refs == 0)
        return nullptr;
    return &P().strings[n - 1];
}

static HSZ intern(const std::string &text)
{
    auto &strings = P().strings;
    for (size_t i = 0; i < strings.size(); i++)
        if (strings[i].refs > 0 && same_text(strings[i].text, text)) {
            strings[i].refs++;
            return make_handle<HSZ>(kStringBase, i + 1);
        }
    strings.push_back({text, 1});
    return make_handle<HSZ>(kStringBase, strings.size());
}

static DataRecord *find_data(HDDEDATA data)
{
    uintptr_t n = handle_number(data, kDataBase);
    auto &d = P().records.data;
    return n == 0 || n > d.size() ? nullptr : &d[n - 1];
}

// The library owns a handle the callback returns unless it is app-owned,
// and frees it once it has passed the data on.
static std::optional<std::string> take_data(HDDEDATA data)
{
    if (!data)
        return std::nullopt;
    DataRecord *d = find_data(data);
    if (!d || d->freed)
        misuse("the DDE callback returned a data handle that is not live");
    std::string bytes = d->bytes;
    if (!(d->flags & HDATA_APPOWNED))
        d->freed = true;
    return bytes;
}

static Conversation &conversation(HCONV conv)
{
    for (Conversation &c : P().conversations)
        if (c.conv == conv && c.open)
            return c;
    throw std::logic_error("standin: not an open conversation");
}

static HDDEDATA callback(UINT type, UINT format, HCONV conv, HSZ topic, HSZ item, HDDEDATA data = nullptr,
                         ULONG_PTR data1 = 0, ULONG_PTR data2 = 0)
{
    if (!P().callback)
        throw std::logic_error("standin: DdeInitializeA registered no callback");
    struct Inside {
        Inside() { ++P().dde_callback_depth; }
        ~Inside() { --P().dde_callback_depth; }
    } inside;
    return P().callback(type, format, conv, topic, item, data, data1, data2);
}

int dde_callback_depth()
{
    return P().dde_callback_depth;
}

HSZ hsz(const std::string &text)
{
    return intern(text);
}

std::string hsz_text(HSZ h)
{
    if (!h)
        return "";
    StringEntry *s = find_string(h);
    if (!s)
        throw std::logic_error("standin::hsz_text: not a live string handle");
    return s->text;
}

std::string data_bytes(HDDEDATA data)
{
    DataRecord *d = find_data(data);
    if (!d)
        throw std::logic_error("standin::data_bytes: not a data handle");
    return d->bytes;
}

bool service_registered(const std::string &service)
{
    for (const std::string &s : P().services)
        if (same_text(s, service))
            return true;
    return false;
}

HCONV connect(const std::string &service, const std::string &topic)
{
    if (!P().dde_live || !service_registered(service))
        return nullptr;
    HSZ hs = hsz(service), ht = hsz(topic);
    if (!callback(XTYP_CONNECT, 0, nullptr, ht, hs))
        return nullptr;
    HCONV conv = make_handle<HCONV>(kConvBase, P().conversations.size() + 1);
    P().conversations.push_back({conv, hs, ht, true});
    callback(XTYP_CONNECT_CONFIRM, 0, conv, ht, hs);
    return conv;
}

bool advise(HCONV conv, const std::string &item, UINT format)
{
    HSZ topic = conversation(conv).topic, hi = hsz(item);
    if (!callback(XTYP_ADVSTART, format, conv, topic, hi))
        return false;
    for (const Loop &l : P().loops)
        if (l.conv == conv && l.item == hi && l.format == format)
            return true;
    P().loops.push_back({conv, topic, hi, format});
    return true;
}

std::optional<std::string> request(HCONV conv, const std::string &item, UINT format)
{
    return take_data(callback(XTYP_REQUEST, format, conv, conversation(conv).topic, hsz(item)));
}

bool unadvise(HCONV conv, const std::string &item, UINT format)
{
    HSZ topic = conversation(conv).topic, hi = hsz(item);
    auto &loops = P().loops;
    for (size_t i = 0; i < loops.size(); i++)
        if (loops[i].conv == conv && loops[i].item == hi && loops[i].format == format) {
            callback(XTYP_ADVSTOP, format, conv, topic, hi);
            for (size_t j = 0; j < loops.size(); j++)  // the callback may have changed the list
                if (loops[j].conv == conv && loops[j].item == hi && loops[j].format == format) {
                    loops.erase(loops.begin() + j);
                    break;
                }
            return true;
        }
    return false;
}

// DDEML tells the server only XTYP_DISCONNECT; open loops end without ADVSTOP.
void disconnect(HCONV conv)
{
    Conversation &c = conversation(conv);
    c.open = false;
    auto &loops = P().loops;
    for (size_t i = loops.size(); i-- > 0;)
        if (loops[i].conv == conv)
            loops.erase(loops.begin() + i);
    callback(XTYP_DISCONNECT, 0, conv, nullptr, nullptr);
}

HDDEDATA call_callback(UINT type, UINT format, HCONV conv, HSZ topic, HSZ item, HDDEDATA data,
                       ULONG_PTR data1, ULONG_PTR data2)
{
    return callback(type, format, conv, topic, item, data, data1, data2);
}

std::vector<AdviseLoop> advise_loops()
{
    std::vector<AdviseLoop> out;
    for (const Loop &l : P().loops)
        out.push_back({l.conv, hsz_text(l.topic), hsz_text(l.item), l.format});
    return out;
}

}  // namespace standin

using namespace standin;

static bool live_instance(DWORD instance)
{
    if (P().dde_live && instance == P().dde_instance)
        return true;
    P().dde_error = DMLERR_INVALIDPARAMETER;
    return false;
}

UINT DdeInitializeA(LPDWORD instance, PFNCALLBACK cb, DWORD, DWORD)
{
    P().records.dde_initializations.push_back(cb);
    if (UINT r = P().script.dde_initialize_result) {
        P().dde_error = P().script.dde_failure_error;
        return r;
    }
    // A stale id left by an earlier test's process counts as 0: a new instance.
    if (!P().dde_live || *instance != P().dde_instance)
        *instance = P().dde_instance = 0x10000 + static_cast<DWORD>(P().records.dde_initializations.size());
    P().dde_live = true;
    P().callback = cb;
    return DMLERR_NO_ERROR;
}

BOOL DdeUninitialize(DWORD instance)
{
    P().records.dde_uninitializations++;
    if (!live_instance(instance))
        return FALSE;
    Process &p = P();
    p.dde_live = false;
    p.services.clear();
    p.loops.clear();
    for (Conversation &c : p.conversations)
        c.open = false;
    return TRUE;
}

HSZ DdeCreateStringHandleA(DWORD instance, LPCSTR text, int codepage)
{
    HSZ result = nullptr;
    if (!live_instance(instance) || !text) {
    } else if (std::any_of(P().script.failing_strings.begin(), P().script.failing_strings.end(),
                           [&](const std::string &s) { return s == text; })) {
        P().dde_error = P().script.dde_failure_error;
    } else {
        result = intern(text);
    }
    P().records.string_handles.push_back({text ? text : "", codepage, result});
    return result;
}

BOOL DdeFreeStringHandle(DWORD, HSZ h)
{
    P().records.string_frees.push_back(h);
    StringEntry *s = find_string(h);
    if (!s)
        return FALSE;
    s->refs--;
    return TRUE;
}

// Like Windows: 0 for the same string in any case; a missing handle sorts first.
int DdeCmpStringHandles(HSZ a, HSZ b)
{
    if (a == b)
        return 0;
    if (!a || !b)
        return a ? 1 : -1;
    StringEntry *sa = find_string(a), *sb = find_string(b);
    int c = strcasecmp(sa ? sa->text.c_str() : "", sb ? sb->text.c_str() : "");
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

DWORD DdeQueryStringA(DWORD, HSZ h, LPSTR buffer, DWORD size, int codepage)
{
    P().records.query_codepages.push_back(codepage);
    StringEntry *s = find_string(h);
    if (!s) {
        if (buffer && size)
            buffer[0] = 0;
        return 0;
    }
    const std::string &text = s->text;
    if (!buffer)
        return static_cast<DWORD>(text.size());
    if (size == 0)
        return 0;
    size_t copied = std::min<size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), copied);
    buffer[copied] = 0;
    return static_cast<DWORD>(copied);
}

HDDEDATA DdeNameService(DWORD instance, HSZ service, HSZ, UINT command)
{
    StringEntry *s = service ? find_string(service) : nullptr;
    P().records.name_services.push_back({s ? s->text : "", command});
    if (!live_instance(instance))
        return nullptr;
    if (P().script.name_service_fails || (service && !s)) {
        P().dde_error = P().script.dde_failure_error;
        return nullptr;
    }
    auto &services = P().services;
    if ((command & DNS_REGISTER) && s && !service_registered(s->text))
        services.push_back(s->text);
    if (command & DNS_UNREGISTER) {
        for (size_t i = services.size(); i-- > 0;)
            if (!s || same_text(services[i], s->text))
                services.erase(services.begin() + i);
    }
    return reinterpret_cast<HDDEDATA>(1);
}

UINT DdeGetLastError(DWORD)
{
    UINT e = P().dde_error;
    P().dde_error = 0;
    return e;
}

HDDEDATA DdeCreateDataHandle(DWORD instance, LPBYTE source, DWORD length, DWORD offset, HSZ item, UINT format,
                             UINT flags)
{
    if (!live_instance(instance))
        return nullptr;
    std::string bytes =
        source ? std::string(reinterpret_cast<char *>(source) + offset, length) : std::string(length, '\0');
    StringEntry *s = item ? find_string(item) : nullptr;
    auto &data = P().records.data;
    HDDEDATA h = make_handle<HDDEDATA>(kDataBase, data.size() + 1);
    data.push_back({h, bytes, s ? s->text : "", format, flags});
    return h;
}

BOOL DdeFreeDataHandle(HDDEDATA data)
{
    DataRecord *d = find_data(data);
    if (!d || d->freed)
        return FALSE;
    d->freed = true;
    return TRUE;
}

// Calls back at once, once per matching loop; a null item means every item
// of the topic.
BOOL DdePostAdvise(DWORD instance, HSZ topic, HSZ item)
{
    StringEntry *t = find_string(topic), *it = find_string(item);
    if (!live_instance(instance))
        return FALSE;
    if (!t || (item && !it)) {
        P().dde_error = DMLERR_INVALIDPARAMETER;
        return FALSE;
    }
    std::vector<Loop> matching;
    for (const Loop &l : P().loops)
        if (same_text(hsz_text(l.topic), t->text) && (!item || same_text(hsz_text(l.item), it->text)))
            matching.push_back(l);
    for (size_t i = 0; i < matching.size(); i++) {
        const Loop &l = matching[i];
        HDDEDATA r =
            callback(XTYP_ADVREQ, l.format, l.conv, l.topic, l.item, nullptr, matching.size() - 1 - i);
        P().records.deliveries.push_back(
            {l.conv, hsz_text(l.topic), hsz_text(l.item), l.format, take_data(r)});
    }
    return TRUE;
}

UINT DdeQueryConvInfo(HCONV conversation, DWORD, PCONVINFO info)
{
    for (const Conversation &c : P().conversations)
        if (c.conv == conversation && c.open) {
            info->hszTopic = c.topic;
            return sizeof *info;
        }
    return 0;
}
