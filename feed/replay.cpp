// The replay of the registry to a new feed client, a slice at a time.
#include "feed/replay.h"

#include "core/registry.h"
#include "feed/feed_client.h"
#include "feed/feed_messages.h"
#include "feed/send_queue.h"

#include <cstdio>
#include <cstdlib>

FeedReplay feed_replay;

// Queues up to REPLAY_SLICE requests from the cursor and sends them. True
// when more remain and the socket took everything, so that the next slice
// may follow at once; false when the replay is done, waits for FD_WRITE or
// ended with the connection.
static bool replay_slice()
{
    FeedReplay &replay = feed_replay;
    // A client that reads slowly gets more only once it has read the last.
    if (!send_queue_empty(feed_client))
        return false;
    // No lock: nothing that runs meanwhile on this thread changes the
    // registry, and queueing calls nobody back.
    for (uint32_t queued = 0; queued < REPLAY_SLICE;) {
        if (replay.instrument >= registry.instrument_count) {
            replay.active = false;
            break;
        }
        const Instrument &instrument = registry.instruments[replay.instrument];
        if (replay.field >= instrument.field_count) {
            ++replay.instrument;
            replay.field = 0;
            continue;
        }
        char item[200];  // an item has at most 99 characters
        std::snprintf(item, sizeof item, "%llu.%s", static_cast<unsigned long long>(instrument.insref),
                      instrument.fields[replay.field].name);
        if (!queue_request(item)) {
            disconnect_feed_client("out of memory for the requests");  // which stops the replay
            return false;
        }
        ++replay.field;
        ++queued;
    }
    if (send_queued(feed_client, feed_client.socket) != 0) {
        disconnect_feed_client("a send failed");
        return false;
    }
    return replay.active && send_queue_empty(feed_client);
}

// Each slice is posted, so 100,000 requests never hold the loop for more
// than a slice (docs/one-thread.md: post).
static void run_slices()
{
    while (replay_slice()) {
        if (PostMessageA(feed_host.window, WM_FEED_REPLAY, feed_replay.generation, 0)) {
            feed_replay.posted = true;
            return;
        }
        // The thread's queue is full: the next slice follows at once rather
        // than never.
    }
}

void start_replay()
{
    FeedReplay &replay = feed_replay;
    replay.active = true;
    replay.instrument = 0;
    replay.field = 0;
    replay.posted = false;
    if (++replay.generation == 0)
        replay.generation = 1;  // 0 stands for FD_WRITE
    run_slices();
}

void continue_replay(WPARAM generation)
{
    FeedReplay &replay = feed_replay;
    if (generation == 0) {
        if (replay.posted)
            return;  // a slice is on its way already
    } else if (generation == replay.generation) {
        replay.posted = false;
    } else {
        return;  // posted for a connection that has ended
    }
    if (!replay.active)
        return;
    if (feed_client.state != FEED_OPEN) {
        stop_replay();
        return;
    }
    run_slices();
}

void stop_replay()
{
    feed_replay.active = false;
    feed_replay.posted = false;
}

bool replay_will_ask(const char *item)
{
    const FeedReplay &replay = feed_replay;
    if (!replay.active)
        return false;
    // A new field is appended to its instrument, behind the cursor's field
    // when the cursor is in that instrument, so only the instrument decides.
    Instrument *instrument = find_instrument(std::strtoull(item, nullptr, 10));
    return instrument && static_cast<uint64_t>(instrument - registry.instruments) >= replay.instrument;
}
