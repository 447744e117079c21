// The replay: a newly opened client is asked for every field the registry
// holds, watched or not, in registry order (instruments, then each one's
// fields), so that a feed client that reconnects resumes every
// subscription. A sheet of 100,000 fields is asked for a slice at a time,
// each slice one window message, so that cells, Excel and the feed's own
// answers are served between slices; a client that reads slowly is given
// the next slice only once the last has gone out.
//
// Each field is asked for once per connection: a field linked during the
// replay is asked for at once if the replay has passed its instrument, and
// by the replay otherwise (replay_will_ask).
#pragma once
#include <windows.h>

#include <cstdint>

struct FeedReplay {
    bool active;
    uint64_t instrument;  // the next field to ask for: position in registry.instruments
    uint16_t field;       // and in that instrument's fields
    WPARAM generation;    // of the replay that posted WM_FEED_REPLAY; counts up per replay
    bool posted;          // a WM_FEED_REPLAY of this replay waits in the queue
};

extern FeedReplay feed_replay;

// Posted to the feed's window, with the replay's generation, for its next slice.
constexpr UINT WM_FEED_REPLAY = WM_USER + 7;
// Requests per slice: about a millisecond's work, far below a frame of the
// status window (33 ms).
constexpr uint32_t REPLAY_SLICE = 2000;

// Right after the 101 response: the first slice goes out at once.
void start_replay();
// The next slice: for WM_FEED_REPLAY (its wparam) and, once the send queue
// is out, after FD_WRITE (generation 0: whatever replay runs).
void continue_replay(WPARAM generation);
// The connection ended or is closing: the rest is never asked for.
void stop_replay();
// Whether the running replay will still ask for item, a field just added to
// the registry. Expects registry_lock held.
bool replay_will_ask(const char *item);
