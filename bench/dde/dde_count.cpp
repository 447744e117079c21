// dde_count: the benchmark's spreadsheet. A DDE client built on the DDE
// management library that links to every listed item in text format (the
// library drops advise data in registered formats under Wine), with
// acknowledgements as spreadsheets ask for them, and counts the advise data
// that arrives. Every value is a time stamp (microseconds, see now_us) put
// in by whoever sent it, so each arrival also gives the value's age.
//
//   dde_count --service S --topic T --items-from FILE --count N
//             [--busy-ms MS] [--ages FILE] [--timeout SECONDS]
//
// --busy-ms makes it a busy spreadsheet: it spends MS milliseconds on every
// update before taking the next. Prints "linked N in S s" once every advise
// loop stands, and at the end "received K first_us F last_us L" (the arrival
// times of the first and last update); --ages writes each update's age in
// microseconds, one a line, in order of arrival.
// Exit codes: 0 done, 2 no server, 3 timeout before N updates, 64 usage.

#include <windows.h>
#include <ddeml.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_common.h"

enum { EXIT_OK = 0, EXIT_NO_SERVER = 2, EXIT_TIMEOUT = 3, EXIT_USAGE = 64 };

static long long wanted = 0;
static long long busy_us = 0;
static long long received = 0;
static int64_t first_us = 0, last_us = 0;
static std::vector<int64_t> ages;

static HDDEDATA CALLBACK callback(UINT type, UINT, HCONV, HSZ, HSZ, HDDEDATA data, ULONG_PTR, ULONG_PTR)
{
    if (type != XTYP_ADVDATA)
        return nullptr;
    const int64_t arrived = now_us();
    char value[64];
    const DWORD size = DdeGetData(data, reinterpret_cast<LPBYTE>(value), sizeof value - 1, 0);
    value[size < sizeof value ? size : sizeof value - 1] = '\0';
    if (received == 0)
        first_us = arrived;
    last_us = arrived;
    received++;
    ages.push_back(arrived - strtoll(value, nullptr, 10));
    // A spreadsheet recalculating: nothing else runs on its thread meanwhile.
    while (busy_us && now_us() - arrived < busy_us) {
    }
    return reinterpret_cast<HDDEDATA>(static_cast<UINT_PTR>(DDE_FACK));
}

static int usage(const char *why)
{
    fprintf(stderr,
            "dde_count: %s\nusage: dde_count --service S --topic T --items-from FILE --count N "
            "[--busy-ms MS] [--ages FILE] [--timeout SECONDS]\n",
            why);
    return EXIT_USAGE;
}

int main(int argc, char **argv)
{
    std::map<std::string, std::string> opt;
    if (!parse_options(argc, argv,
                       {"--service", "--topic", "--items-from", "--count", "--busy-ms", "--ages", "--timeout"}, &opt))
        return usage("unknown option or missing value");
    wanted = atoll(opt["--count"].c_str());
    const double busy_ms = atof(opt["--busy-ms"].c_str());
    const double timeout = opt.count("--timeout") ? atof(opt["--timeout"].c_str()) : 600;
    const std::string service_text = opt["--service"], topic_text = opt["--topic"], ages_path = opt["--ages"];
    std::vector<std::string> names;
    if (service_text.empty() || topic_text.empty() || wanted < 1 || !(timeout > 0) || busy_ms < 0)
        return usage("missing or bad arguments");
    if (!read_items(opt["--items-from"].c_str(), &names) || names.empty())
        return usage("cannot read the items");
    busy_us = static_cast<long long>(busy_ms * 1000);
    ages.reserve(static_cast<size_t>(wanted));
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout * 1000);

    DWORD instance = 0;
    if (DdeInitializeA(&instance, callback, APPCMD_CLIENTONLY, 0) != DMLERR_NO_ERROR)
        return usage("DdeInitializeA failed");
    HSZ service = DdeCreateStringHandleA(instance, service_text.c_str(), CP_WINANSI);
    HSZ topic = DdeCreateStringHandleA(instance, topic_text.c_str(), CP_WINANSI);
    HCONV conv = DdeConnect(instance, service, topic, nullptr);
    if (!conv) {
        fprintf(stderr, "dde_count: no DDE server for %s|%s\n", service_text.c_str(), topic_text.c_str());
        DdeUninitialize(instance);
        return EXIT_NO_SERVER;
    }

    const int64_t linking = now_us();
    for (const std::string &name : names) {
        HSZ item = DdeCreateStringHandleA(instance, name.c_str(), CP_WINANSI);
        if (!DdeClientTransaction(nullptr, 0, conv, item, CF_TEXT, XTYP_ADVSTART | XTYPF_ACKREQ, 60000, nullptr)) {
            fprintf(stderr, "dde_count: the server refused the link to %s\n", name.c_str());
            DdeUninitialize(instance);
            return EXIT_NO_SERVER;
        }
        DdeFreeStringHandle(instance, item);
    }
    printf("linked %zu in %.3f s\n", names.size(), static_cast<double>(now_us() - linking) / 1e6);
    fflush(stdout);

    const int rc = pump_until([] { return received >= wanted; }, deadline) ? EXIT_OK : EXIT_TIMEOUT;
    printf("received %lld first_us %" PRId64 " last_us %" PRId64 "\n", received, first_us, last_us);
    fflush(stdout);
    if (!ages_path.empty()) {
        if (FILE *out = fopen(ages_path.c_str(), "w")) {
            for (int64_t age : ages)
                fprintf(out, "%" PRId64 "\n", age);
            fclose(out);
        }
    }
    // Hanging up ends every advise loop at the server.
    DdeDisconnect(conv);
    DdeUninitialize(instance);
    return rc;
}
