// rtdwatch: links to RTD topics the way Excel's =RTD() cells do and prints
// every value that arrives, one UTF-8 line each: "HH:MM:SS.mmm ITEM VALUE".
//
// It plays Excel: a single-threaded apartment, the server created out of
// process (CoCreateInstance, CLSCTX_LOCAL_SERVER, which starts the program
// when it does not run), its own IRTDUpdateEvent, ServerStart (and, as a
// macro would, Heartbeat late bound through IDispatch), ConnectData
// per item, and RefreshData after each UpdateNotify but at most once per
// throttle interval, as Excel's Application.RTD.ThrottleInterval does. At
// the end DisconnectData for each topic and ServerTerminate. A Disconnect
// from the server prints a line and ends it.

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>
#include <shellapi.h>

#include "vantrel_rtd.h"

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "../ddewatch/items_file.h"
#include "rtd_array.h"
#include "rtd_client.h"

enum { EXIT_OK = 0, EXIT_FAULT = 1, EXIT_NO_SERVER = 2, EXIT_UNFINISHED = 3, EXIT_USAGE = 64 };

static const char USAGE[] =
    "usage: rtdwatch [--progid P] [--throttle MS] [--busy MS] [--opened] [--count N]\n"
    "                [--timeout SECONDS] [--items-from FILE] ITEM...\n"
    "An ITEM is one string (1234.lastprice) or two joined by a comma\n"
    "(1234,lastprice), as the strings of =RTD(\"Quellvarden.Quote\",,...).\n"
    "Prints \"HH:MM:SS.mmm ITEM VALUE\" for the value ConnectData answers and for\n"
    "every value RefreshData carries: numbers as numbers, texts in double quotes,\n"
    "#N/A for a topic the server refuses. --throttle is the least time between\n"
    "two RefreshData calls (default 2000 ms, as Excel). --busy keeps each\n"
    "UpdateNotify and Disconnect from answering for MS, as a workbook that hangs.\n"
    "--opened connects as Excel opening a saved workbook does (GetNewValues\n"
    "false): a value the server leaves GetNewValues false for prints as (saved).\n"
    "When the server calls Disconnect, rtdwatch prints a line and ends with\n"
    "exit code 0; what Excel does then is not documented.\n"
    "Exit codes: 0 done, 1 the server broke the rules, 2 no RTD server,\n"
    "3 timeout before --count, 64 usage.\n";

struct Options {
    std::wstring progid = L"Quellvarden.Quote";
    DWORD throttle = 2000;
    DWORD busy = 0;       // ms each UpdateNotify and Disconnect takes to answer
    bool opened = false;  // ConnectData with GetNewValues false
    long count = 0;       // 0: no count
    double timeout = 0;   // seconds, 0: none
    std::vector<std::string> items;
};

static Options options;
static long lines;
static bool update_waits;
static bool disconnected;
static volatile LONG interrupted;

static std::string utf8(const wchar_t *text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    return out;
}

static std::wstring wide(const std::string &text)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(size, L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

static bool goal_reached()
{
    return options.count && lines >= options.count;
}

static void print_line(const std::string &item, const std::string &value)
{
    if (goal_reached())
        return;
    SYSTEMTIME t;
    GetLocalTime(&t);
    printf("%02u:%02u:%02u.%03u %s %s\n", unsigned(t.wHour), unsigned(t.wMinute), unsigned(t.wSecond),
           unsigned(t.wMilliseconds), item.c_str(), value.c_str());
    fflush(stdout);
    lines++;
}

static int usage_error(const char *why, const std::string &what)
{
    fprintf(stderr, "rtdwatch: %s%s\n%s", why, what.c_str(), USAGE);
    return EXIT_USAGE;
}

// Returns 0 when the command line is usable, -1 after --help, else the exit code.
static int parse_args(const std::vector<std::string> &args)
{
    bool options_done = false;
    for (size_t i = 0; i < args.size(); i++) {
        std::string arg = args[i];
        if (options_done || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            options.items.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "--help") {
            fputs(USAGE, stdout);
            return -1;
        }
        if (arg == "--opened") {
            options.opened = true;
            continue;
        }
        std::string value;
        const size_t eq = arg.find('=');
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
        } else if (arg == "--progid" || arg == "--throttle" || arg == "--busy" || arg == "--count" ||
                   arg == "--timeout" || arg == "--items-from") {
            if (i + 1 >= args.size())
                return usage_error("missing value for ", arg);
            value = args[++i];
        } else {
            return usage_error("unknown option ", arg);
        }
        char *end = nullptr;
        if (arg == "--progid") {
            options.progid = wide(value);
        } else if (arg == "--throttle") {
            long ms = strtol(value.c_str(), &end, 10);
            if (value.empty() || *end || ms < 0 || ms > 3600000)
                return usage_error("bad --throttle ", value);
            options.throttle = static_cast<DWORD>(ms);
        } else if (arg == "--busy") {
            long ms = strtol(value.c_str(), &end, 10);
            if (value.empty() || *end || ms < 0 || ms > 3600000)
                return usage_error("bad --busy ", value);
            options.busy = static_cast<DWORD>(ms);
        } else if (arg == "--count") {
            options.count = strtol(value.c_str(), &end, 10);
            if (value.empty() || *end || options.count < 1)
                return usage_error("bad --count ", value);
        } else if (arg == "--timeout") {
            options.timeout = strtod(value.c_str(), &end);
            if (value.empty() || *end || !(options.timeout >= 0) || options.timeout > 1e6)
                return usage_error("bad --timeout ", value);
        } else if (arg == "--items-from") {
            if (!read_items(value.c_str(), &options.items))
                return usage_error("cannot read ", value);
        } else {
            return usage_error("unknown option ", arg);
        }
    }
    if (options.items.empty())
        return usage_error("no items", "");
    return 0;
}

// The callback Excel hands the server: UpdateNotify only marks that values
// wait; the main loop fetches them when the throttle allows.
class UpdateEvent : public UpdateEventBase {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG left = InterlockedDecrement(&references);
        if (!left)
            delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE UpdateNotify() override
    {
        update_waits = true;
        // A hung workbook: the thread answers nothing, not even other calls.
        if (options.busy)
            Sleep(options.busy);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_HeartbeatInterval(LONG *value) override
    {
        *value = heartbeat;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_HeartbeatInterval(LONG value) override
    {
        heartbeat = value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Disconnect() override
    {
        disconnected = true;
        if (options.busy)
            Sleep(options.busy);
        return S_OK;
    }
    LONG heartbeat = 15000;

private:
    LONG references = 1;
};

static RtdCell copy_cell(const VARIANT &v)
{
    RtdCell cell;
    cell.type = V_VT(&v);
    switch (V_VT(&v)) {
    case VT_I4:
        cell.i4 = V_I4(&v);
        break;
    case VT_R8:
        cell.r8 = V_R8(&v);
        break;
    case VT_BSTR:
        if (V_BSTR(&v))
            cell.text.assign(reinterpret_cast<const char16_t *>(V_BSTR(&v)), SysStringLen(V_BSTR(&v)));
        break;
    case VT_ERROR:
        cell.scode = static_cast<uint32_t>(V_ERROR(&v));
        break;
    }
    return cell;
}

static RefreshAnswer copy_answer(SAFEARRAY *array, long topic_count)
{
    RefreshAnswer answer;
    answer.topic_count = topic_count;
    if (!array)
        return answer;
    answer.dims = SafeArrayGetDim(array);
    VARTYPE type = VT_EMPTY;
    answer.variants = SUCCEEDED(SafeArrayGetVartype(array, &type)) && type == VT_VARIANT;
    if (answer.dims != 2 || !answer.variants)
        return answer;
    for (UINT d = 0; d < 2; d++) {
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(array, d + 1, &lower);
        SafeArrayGetUBound(array, d + 1, &upper);
        answer.lower[d] = lower;
        answer.count[d] = upper >= lower ? static_cast<unsigned long>(upper - lower + 1) : 0;
    }
    if (answer.lower[0] != 0 || answer.count[0] != 2 || answer.lower[1] != 0)
        return answer;
    for (LONG c = 0; c < static_cast<LONG>(answer.count[1]); c++) {
        for (LONG r = 0; r < 2; r++) {
            LONG at[2] = {r, c};
            VARIANT v;
            VariantInit(&v);
            if (FAILED(SafeArrayGetElement(array, at, &v)))
                V_VT(&v) = VT_EMPTY;
            answer.cells.push_back(copy_cell(v));
            VariantClear(&v);
        }
    }
    return answer;
}

static SAFEARRAY *topic_strings(const std::string &item)
{
    std::vector<std::wstring> strings;
    size_t comma = item.find(',');
    if (comma == std::string::npos) {
        strings.push_back(wide(item));
    } else {
        strings.push_back(wide(item.substr(0, comma)));
        strings.push_back(wide(item.substr(comma + 1)));
    }
    return topic_string_array(strings);
}

static BOOL WINAPI on_console_event(DWORD)
{
    InterlockedExchange(&interrupted, 1);
    return TRUE;
}

static void pump(DWORD wait)
{
    MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
}

int main()
{
    std::vector<std::string> args;
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; argv && i < argc; i++)
        args.push_back(utf8(argv[i]));
    LocalFree(argv);
    if (int rc = parse_args(args))
        return rc < 0 ? EXIT_OK : rc;
    SetConsoleCtrlHandler(on_console_event, TRUE);
    const ULONGLONG started = GetTickCount64();

    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        fprintf(stderr, "rtdwatch: COM does not start\n");
        return EXIT_NO_SERVER;
    }
    CLSID clsid;
    IRtdServer *server = nullptr;
    HRESULT hr = CLSIDFromProgID(options.progid.c_str(), &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IRtdServer,
                              reinterpret_cast<void **>(&server));
    if (FAILED(hr)) {
        fprintf(stderr, "rtdwatch: no RTD server %s (0x%08lX)\n", utf8(options.progid.c_str()).c_str(),
                static_cast<unsigned long>(hr));
        CoUninitialize();
        return EXIT_NO_SERVER;
    }

    int rc = EXIT_OK;
    UpdateEvent *events = new UpdateEvent();
    LONG started_answer = 0;
    hr = server->ServerStart(events, &started_answer);
    if (FAILED(hr) || started_answer <= 0) {
        fprintf(stderr, "rtdwatch: ServerStart answered 0x%08lX, %ld\n", static_cast<unsigned long>(hr),
                static_cast<long>(started_answer));
        rc = EXIT_FAULT;
    }

    // Late bound, as a macro would call it: Heartbeat through IDispatch,
    // which the server answers from its type library.
    if (rc == EXIT_OK) {
        LPOLESTR name = const_cast<LPOLESTR>(L"Heartbeat");
        DISPID id = DISPID_UNKNOWN;
        DISPPARAMS none = {nullptr, nullptr, 0, 0};
        VARIANT answer;
        VariantInit(&answer);
        hr = server->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
        if (SUCCEEDED(hr))
            hr = server->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, &answer, nullptr,
                                nullptr);
        if (FAILED(hr) || id != 14 || V_VT(&answer) != VT_I4 || V_I4(&answer) != 1) {
            fprintf(stderr, "rtdwatch: Heartbeat through IDispatch: 0x%08lX, DISPID %ld\n",
                    static_cast<unsigned long>(hr), static_cast<long>(id));
            rc = EXIT_FAULT;
        }
        VariantClear(&answer);
    }

    // Topic IDs are Excel's to choose: 1, 2, ... in the order of the items.
    std::set<long> topics;
    for (size_t i = 0; rc == EXIT_OK && i < options.items.size(); i++) {
        const long id = static_cast<long>(i + 1);
        SAFEARRAY *strings = topic_strings(options.items[i]);
        VARIANT_BOOL get_new_values = options.opened ? VARIANT_FALSE : VARIANT_TRUE;
        VARIANT value;
        VariantInit(&value);
        hr = server->ConnectData(id, &strings, &get_new_values, &value);
        SafeArrayDestroy(strings);
        std::string shown;
        if (FAILED(hr) || !format_value(copy_cell(value), &shown)) {
            fprintf(stderr, "rtdwatch: ConnectData of %s answered 0x%08lX, type %u\n",
                    options.items[i].c_str(), static_cast<unsigned long>(hr), unsigned(V_VT(&value)));
            rc = EXIT_FAULT;
        } else {
            topics.insert(id);
            // Excel keeps the workbook's saved value unless told to take the new one.
            print_line(options.items[i], get_new_values ? shown : "(saved)");
        }
        VariantClear(&value);
    }

    const ULONGLONG deadline =
        options.timeout > 0 ? started + static_cast<ULONGLONG>(options.timeout * 1000.0) : 0;
    ULONGLONG last_refresh = 0, last_sign = GetTickCount64();
    while (rc == EXIT_OK && !interrupted && !disconnected && !goal_reached()) {
        ULONGLONG now = GetTickCount64();
        if (deadline && now >= deadline)
            break;
        if (update_waits && (last_refresh == 0 || now - last_refresh >= options.throttle)) {
            update_waits = false;
            last_refresh = last_sign = now;
            LONG count = 0;
            SAFEARRAY *changes = nullptr;
            hr = server->RefreshData(&count, &changes);
            std::vector<TopicValue> values;
            std::string why;
            if (FAILED(hr) || !decode_refresh(copy_answer(changes, count), topics, &values, &why)) {
                fprintf(stderr, "rtdwatch: RefreshData answered 0x%08lX: %s\n",
                        static_cast<unsigned long>(hr), why.c_str());
                rc = EXIT_FAULT;
            }
            if (changes)
                SafeArrayDestroy(changes);
            for (const TopicValue &v : values)
                print_line(options.items[v.topic - 1], v.value);
            continue;
        }
        // As Excel: a server that has said nothing for a heartbeat interval is asked whether it lives.
        if (now - last_sign >= static_cast<ULONGLONG>(events->heartbeat > 0 ? events->heartbeat : 15000)) {
            last_sign = now;
            LONG alive = 0;
            if (FAILED(server->Heartbeat(&alive)) || alive != 1)
                fprintf(stderr, "rtdwatch: the server answers no heartbeat\n");
        }
        pump(20);
    }

    if (disconnected) {
        print_line("(server)", "Disconnect");
        fprintf(stderr, "rtdwatch: the server called Disconnect\n");
    } else {
        if (rc == EXIT_OK && options.count && !goal_reached()) {
            fprintf(stderr, interrupted ? "interrupted\n" : "timeout\n");
            rc = EXIT_UNFINISHED;
        }
        // As a closing workbook: every topic goes, then the server is told.
        for (long id : topics)
            server->DisconnectData(id);
        server->ServerTerminate();
    }
    server->Release();
    events->Release();
    CoUninitialize();
    return rc;
}
