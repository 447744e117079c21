#include "app/status_relay.h"

#include "core/status_topic.h"
#include "dde/dde_status.h"
#include "rtd/topic_table.h"

StatusRelay status_relay;

void attach_status_relay(HWND window)
{
    status_relay.window = window;
    status_changed = relay_status_change;
    start_status_topic();
}

void relay_status_change(StatusItem item)
{
    status_relay.pending |= 1u << item;
    if (!status_relay.posted && status_relay.window)
        status_relay.posted = PostMessageA(status_relay.window, WM_STATUS_CHANGED, 0, 0) != FALSE;
}

void relay_status_changes()
{
    status_relay.posted = false;
    unsigned pending = status_relay.pending;
    status_relay.pending = 0;
    // Neither face needs the registry lock for this: the clock may tick in a
    // message box of start-up, before the lock exists.
    for (int item = 0; item < STATUS_ITEM_COUNT; ++item) {
        if (pending & (1u << item)) {
            post_status_advise(static_cast<StatusItem>(item));
            rtd_status_changed(static_cast<StatusItem>(item));
        }
    }
}

void on_clock_timer()
{
    SetTimer(status_relay.window, CLOCK_TIMER_ID, tick_status_clock(), nullptr);
}
