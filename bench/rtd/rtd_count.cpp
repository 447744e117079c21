// rtd_count: the benchmark's Excel on RTD. It creates the program's RTD
// server out of process, connects one topic per listed item and calls
// RefreshData as soon as each UpdateNotify comes (Excel with a throttle
// interval of 0; with --throttle MS at most once in MS, as Excel's
// Application.RTD.ThrottleInterval), until a topic carries the value -1, the feed client's
// last (with --markers M: until it has seen -1, -2, ... -M, the ends of the
// feed's M phases). Every other value is a time stamp (microseconds, see
// now_us) put in by the feed client, so each refresh also gives the age of
// what it carries.
//
//   rtd_count --items-from FILE [--round-trips FILE] [--ages FILE] [--timeout SECONDS]
//             [--markers M] [--throttle MS]
//
// Prints "connected N in S s" once every topic is connected, "marker K at_us
// T" when the refresh that carries -K returns, and at the end "refreshes R
// values V last_us L" (L: when the last marker arrived); --round-trips
// writes each RefreshData's round trip and --ages each value's age at the
// return of its refresh, in microseconds, one a line, each behind the time
// the refresh returned when --markers is given ("T value").
// Exit codes: 0 done, 1 the server broke the rules, 2 no server, 3 timeout, 64 usage.

#include <windows.h>
#include <ole2.h>
#include <oleauto.h>

#include "rtd_client.h"
#include "vantrel_rtd.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../dde/bench_common.h"

enum { EXIT_OK = 0, EXIT_FAULT = 1, EXIT_NO_SERVER = 2, EXIT_TIMEOUT = 3, EXIT_USAGE = 64 };

static bool notified;

// The callback: UpdateNotify only marks; the main loop refreshes.
class Events : public UpdateEventBase {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE UpdateNotify() override
    {
        notified = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_HeartbeatInterval(LONG *value) override
    {
        *value = 15000;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_HeartbeatInterval(LONG) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Disconnect() override { return S_OK; }
};

static Events events;

static int usage(const char *why)
{
    fprintf(stderr,
            "rtd_count: %s\nusage: rtd_count --items-from FILE [--round-trips FILE] [--ages FILE] "
            "[--timeout SECONDS] [--markers M] [--throttle MS]\n",
            why);
    return EXIT_USAGE;
}

// One number a line, behind its time when times are given.
static void write_lines(const std::string &path, const std::vector<int64_t> &numbers,
                        const std::vector<int64_t> *times)
{
    if (path.empty())
        return;
    if (FILE *out = fopen(path.c_str(), "w")) {
        for (size_t i = 0; i < numbers.size(); i++) {
            if (times)
                fprintf(out, "%" PRId64 " ", (*times)[i]);
            fprintf(out, "%" PRId64 "\n", numbers[i]);
        }
        fclose(out);
    }
}

int main(int argc, char **argv)
{
    std::map<std::string, std::string> opt;
    if (!parse_options(argc, argv, {"--items-from", "--round-trips", "--ages", "--timeout", "--markers", "--throttle"},
                       &opt))
        return usage("unknown option or missing value");
    const double timeout = opt.count("--timeout") ? atof(opt["--timeout"].c_str()) : 600;
    const bool phased = opt.count("--markers") != 0;
    const long markers = phased ? atol(opt["--markers"].c_str()) : 1;
    // Excel's Application.RTD.ThrottleInterval: at most one RefreshData in
    // so many milliseconds (0, the default here: at once).
    const int64_t throttle_us = opt.count("--throttle") ? atoll(opt["--throttle"].c_str()) * 1000 : 0;
    std::vector<std::string> names;
    if (!read_items(opt["--items-from"].c_str(), &names) || names.empty() || !(timeout > 0) || markers < 1)
        return usage("cannot read the items, or a bad timeout");
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout * 1000);

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CLSID clsid;
    IRtdServer *server = nullptr;
    HRESULT hr = CLSIDFromProgID(L"Quellvarden.Quote", &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IRtdServer, reinterpret_cast<void **>(&server));
    if (FAILED(hr)) {
        fprintf(stderr, "rtd_count: no RTD server (0x%08lX)\n", static_cast<unsigned long>(hr));
        return EXIT_NO_SERVER;
    }
    LONG started = 0;
    server->ServerStart(&events, &started);

    const int64_t connecting = now_us();
    for (size_t i = 0; i < names.size(); i++) {
        // Items are ASCII.
        SAFEARRAY *strings = topic_string_array({std::wstring(names[i].begin(), names[i].end())});
        VARIANT_BOOL get_new_values = VARIANT_TRUE;
        VARIANT value;
        VariantInit(&value);
        hr = server->ConnectData(static_cast<LONG>(i), &strings, &get_new_values, &value);
        SafeArrayDestroy(strings);
        VariantClear(&value);
        if (FAILED(hr)) {
            fprintf(stderr, "rtd_count: ConnectData of %s: 0x%08lX\n", names[i].c_str(), static_cast<unsigned long>(hr));
            return EXIT_FAULT;
        }
    }
    printf("connected %zu in %.3f s\n", names.size(), static_cast<double>(now_us() - connecting) / 1e6);
    fflush(stdout);

    std::vector<int64_t> round_trips, ages, round_trip_times, age_times;
    long markers_seen = 0;
    long long refreshes = 0, values = 0;
    int64_t last_us = 0;
    int rc = EXIT_TIMEOUT;
    int64_t last_refresh = 0;
    while (GetTickCount64() < deadline) {
        if (!notified || now_us() - last_refresh < throttle_us) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            MSG m;
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageA(&m);
            continue;
        }
        notified = false;
        LONG count = 0;
        SAFEARRAY *changes = nullptr;
        const int64_t asked = last_refresh = now_us();
        hr = server->RefreshData(&count, &changes);
        const int64_t answered = now_us();
        if (FAILED(hr) || !changes) {
            fprintf(stderr, "rtd_count: RefreshData: 0x%08lX\n", static_cast<unsigned long>(hr));
            rc = EXIT_FAULT;
            break;
        }
        refreshes++;
        round_trips.push_back(answered - asked);
        round_trip_times.push_back(answered);
        bool last = false;
        for (LONG c = 0; c < count; c++) {
            LONG at[2] = {1, c};
            VARIANT v;
            VariantInit(&v);
            if (SUCCEEDED(SafeArrayGetElement(changes, at, &v)) && V_VT(&v) == VT_R8) {
                values++;
                if (V_R8(&v) < 0) {
                    // The markers come in order, each after its phase's updates.
                    printf("marker %ld at_us %" PRId64 "\n", -static_cast<long>(V_R8(&v)), answered);
                    fflush(stdout);
                    last = ++markers_seen == markers;
                } else {
                    ages.push_back(answered - static_cast<int64_t>(V_R8(&v)));
                    age_times.push_back(answered);
                }
            }
            VariantClear(&v);
        }
        SafeArrayDestroy(changes);
        if (last) {
            last_us = answered;
            rc = EXIT_OK;
            break;
        }
    }
    printf("refreshes %lld values %lld last_us %" PRId64 "\n", refreshes, values, last_us);
    fflush(stdout);
    write_lines(opt["--round-trips"], round_trips, phased ? &round_trip_times : nullptr);
    write_lines(opt["--ages"], ages, phased ? &age_times : nullptr);
    for (size_t i = 0; i < names.size(); i++)
        server->DisconnectData(static_cast<LONG>(i));
    server->ServerTerminate();
    server->Release();
    CoUninitialize();
    return rc;
}
