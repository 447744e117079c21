// read_updates_bench: the limit of the program's own parts, RapidJSON's SAX
// reader alone (read_updates, as the program calls it) on the payloads the
// benchmark's feed client sends: the same items and time-stamp values, in
// messages of 1, 100 and 1,000 updates. Each message is copied into a
// buffer first, as a read from the socket puts it there, and read in place.
// With --apply, the program's whole update path without the socket and COM
// instead (apply_update: reading, then storing each value and marking its
// RTD topic, one topic per field connected first), which shows how much of
// the gap to the reader is the program's own and how much the platform's.
//
//   read_updates_bench [--fields N] [--updates U] [--batches B1,B2,...] [--apply]
//
// Prints "batch B updates U seconds S updates_per_s R" for each batch size.
#include "core/field_links.h"
#include "core/registry.h"
#include "feed/feed_messages.h"
#include "feed/update_reader.h"
#include "rtd/topic_table.h"

#include <windows.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static const char *const FIELD_NAMES[10] = {"lastprice", "bid",   "ask",    "high",     "low",
                                            "open",      "close", "volume", "turnover", "time"};

// The feed client's update of the n-th field: its item and a time stamp in microseconds.
static std::string update(long n, long fields)
{
    long i = n % fields;
    char text[160];
    std::snprintf(text, sizeof text, "{\"key\":\"%ld.%s\",\"value\":\"%" PRId64 "\"}", 1000 + i / 10,
                  FIELD_NAMES[i % 10], static_cast<int64_t>(1765000000000000LL + n));
    return text;
}

static bool count_update(void *context, const FeedUpdate &)
{
    ++*static_cast<long *>(context);
    return true;
}

// The faces as start-up sets them, for RTD alone: a change marks the topics.
static void tell_rtd(const char *, FieldPlace place)
{
    rtd_field_changed(place);
}

static int ask_nobody(const char *)
{
    return 0;
}

// One RTD topic per field, as rtd_count connects them.
static bool connect_topics(long fields)
{
    InitializeCriticalSectionAndSpinCount(&registry_lock, 1024);
    attach_rtd(CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr));
    request_new_field = ask_nobody;
    field_changed = tell_rtd;
    TopicTable *table = new_topic_table(nullptr);
    for (long i = 0; table && i < fields; ++i) {
        char item[64];
        std::snprintf(item, sizeof item, "%ld.%s", 1000 + i / 10, FIELD_NAMES[i % 10]);
        WCHAR units[64];
        size_t length = 0;
        for (; item[length]; ++length)
            units[length] = static_cast<unsigned char>(item[length]);
        TopicString strings = {true, units, length};
        RtdValue shown;
        if (connect_topic(table, i, &strings, 1, &shown) != CONNECT_BLANK)
            return false;
    }
    return table != nullptr;
}

static double seconds_now()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

int main(int argc, char **argv)
{
    long fields = 100000, updates = 1000000;
    std::string batches = "1,100,1000";
    bool apply = false;
    if (argc > 1 && std::strcmp(argv[argc - 1], "--apply") == 0) {
        apply = true;
        --argc;
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--fields") == 0)
            fields = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "--updates") == 0)
            updates = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "--batches") == 0)
            batches = argv[i + 1];
        else
            return 64;
    }
    if (fields < 1 || updates < 1 || argc % 2 == 0)
        return 64;
    if (apply && !connect_topics(fields)) {
        std::fprintf(stderr, "read_updates_bench: the topics could not be connected\n");
        return 1;
    }
    for (const char *p = batches.c_str(); *p;) {
        long batch = std::strtol(p, const_cast<char **>(&p), 10);
        if (*p == ',')
            ++p;
        if (batch < 1)
            return 64;
        std::vector<std::string> messages;
        for (long n = 0; n < updates; n += batch) {
            std::string message = batch == 1 ? "" : "[";
            for (long u = n; u < n + batch && u < updates; ++u)
                message += (u > n ? "," : "") + update(u, fields);
            messages.push_back(batch == 1 ? message : message + "]");
        }
        std::vector<char> buffer;
        long read = 0;
        double started = seconds_now();
        for (const std::string &message : messages) {
            buffer.resize(message.size() + 1);
            std::memcpy(buffer.data(), message.data(), message.size() + 1);
            if (apply)
                apply_update(buffer.data(), message.size());
            else if (read_updates(buffer.data(), message.size(), count_update, &read) < 0) {
                std::fprintf(stderr, "read_updates_bench: a message was refused\n");
                return 1;
            }
        }
        double seconds = seconds_now() - started;
        if (apply)
            read = updates;
        std::printf("batch %ld updates %ld seconds %.3f updates_per_s %.0f\n", batch, read, seconds,
                    static_cast<double>(read) / seconds);
        std::fflush(stdout);
    }
    return 0;
}
