// dde_ceiling: the fastest that a DDE server can feed advise loops on this
// platform, the yardstick for the program. It registers a service of its
// own, accepts advise loops on any item of its topic and, once every listed
// item is linked, posts COUNT advises in a tight loop, one item after the
// other. Each advise is answered from memory: the item's value, set just
// before the post, is the current time in microseconds as text, the same
// kind of value that the benchmark's feed client sends the program.
//
//   dde_ceiling --service S --topic T --items-from FILE --count N [--timeout SECONDS]
//
// Prints "linked N" once every item is linked and "posted N in S s" after
// the loop, then ends when the client disconnects or the timeout passes.
// Exit codes: 0 done, 3 timeout, 64 usage or DDE error.

#include <windows.h>
#include <ddeml.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench_common.h"

enum { EXIT_OK = 0, EXIT_TIMEOUT = 3, EXIT_USAGE = 64 };

static const long long DRAIN_EVERY = 64;

struct Item {
    HSZ name = nullptr;
    char value[32] = "";
};

static DWORD instance;
static HSZ topic;
static std::vector<Item> items;
static std::unordered_map<HSZ, size_t> by_handle;
static size_t linked = 0;
static bool disconnected = false;

static size_t find_item(HSZ name)
{
    auto found = by_handle.find(name);
    return found == by_handle.end() ? items.size() : found->second;
}

static HDDEDATA CALLBACK callback(UINT type, UINT format, HCONV, HSZ hsz1, HSZ hsz2, HDDEDATA, ULONG_PTR,
                                  ULONG_PTR)
{
    switch (type) {
    case XTYP_CONNECT:
        return reinterpret_cast<HDDEDATA>(static_cast<UINT_PTR>(DdeCmpStringHandles(hsz1, topic) == 0));
    case XTYP_ADVSTART: {
        const bool known = find_item(hsz2) < items.size();
        linked += known;
        return reinterpret_cast<HDDEDATA>(static_cast<UINT_PTR>(known));
    }
    case XTYP_ADVREQ:
    case XTYP_REQUEST: {
        const size_t i = find_item(hsz2);
        if (i == items.size())
            return nullptr;
        const char *value = items[i].value;
        return DdeCreateDataHandle(instance, reinterpret_cast<LPBYTE>(const_cast<char *>(value)),
                                   static_cast<DWORD>(strlen(value) + 1), 0, hsz2, format, 0);
    }
    case XTYP_DISCONNECT:
        disconnected = true;
        return nullptr;
    }
    return nullptr;
}

// Handles whatever is queued (the client's acknowledgements), without waiting.
static void drain_messages()
{
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&m);
}

static int usage(const char *why)
{
    fprintf(stderr,
            "dde_ceiling: %s\nusage: dde_ceiling --service S --topic T --items-from FILE --count N "
            "[--timeout SECONDS]\n",
            why);
    return EXIT_USAGE;
}

int main(int argc, char **argv)
{
    std::map<std::string, std::string> opt;
    if (!parse_options(argc, argv, {"--service", "--topic", "--items-from", "--count", "--timeout", "--drain-every"}, &opt))
        return usage("unknown option or missing value");
    const long long count = atoll(opt["--count"].c_str());
    const double timeout = opt.count("--timeout") ? atof(opt["--timeout"].c_str()) : 600;
    const long long drain_every = opt.count("--drain-every") ? atoll(opt["--drain-every"].c_str()) : DRAIN_EVERY;
    std::vector<std::string> names;
    if (opt["--service"].empty() || opt["--topic"].empty() || count < 1 || !(timeout > 0) || drain_every < 1)
        return usage("missing or bad arguments");
    if (!read_items(opt["--items-from"].c_str(), &names) || names.empty())
        return usage("cannot read the items");
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout * 1000);

    if (DdeInitializeA(&instance, callback, APPCLASS_STANDARD | CBF_SKIP_REGISTRATIONS | CBF_SKIP_UNREGISTRATIONS,
                       0) != DMLERR_NO_ERROR)
        return usage("DdeInitializeA failed");
    HSZ service = DdeCreateStringHandleA(instance, opt["--service"].c_str(), CP_WINANSI);
    topic = DdeCreateStringHandleA(instance, opt["--topic"].c_str(), CP_WINANSI);
    items.resize(names.size());
    for (size_t i = 0; i < names.size(); i++) {
        items[i].name = DdeCreateStringHandleA(instance, names[i].c_str(), CP_WINANSI);
        by_handle[items[i].name] = i;
    }
    if (!DdeNameService(instance, service, nullptr, DNS_REGISTER))
        return usage("DdeNameService failed");

    int rc = EXIT_OK;
    if (pump_until([] { return linked >= items.size(); }, deadline)) {
        printf("linked %zu\n", items.size());
        fflush(stdout);
        const int64_t started = now_us();
        for (long long k = 0; k < count; k++) {
            Item &item = items[static_cast<size_t>(k % static_cast<long long>(items.size()))];
            snprintf(item.value, sizeof item.value, "%" PRId64, now_us());
            DdePostAdvise(instance, topic, item.name);
            if ((k + 1) % drain_every == 0)
                drain_messages();
        }
        printf("posted %lld in %.3f s\n", count, static_cast<double>(now_us() - started) / 1e6);
        fflush(stdout);
        if (!pump_until([] { return disconnected; }, deadline))
            rc = EXIT_TIMEOUT;
    } else {
        fprintf(stderr, "dde_ceiling: %zu of %zu items linked at the timeout\n", linked, items.size());
        rc = EXIT_TIMEOUT;
    }
    DdeNameService(instance, service, nullptr, DNS_UNREGISTER);
    DdeUninitialize(instance);
    return rc;
}
