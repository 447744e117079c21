// The Status topic of the DDE service: Status!feed, since, clock and
// fields (core/topic_names.h), their advise loops and their answers.
#pragma once
#include <windows.h>
#include <ddeml.h>

#include "core/topic_names.h"

#include <cstdint>

// Advise loops open on each item, so that an item nobody watches costs no
// post: every change would otherwise make the DDE library search all its
// links (under Wine it matches them by item alone). A conversation that
// ends without its advise stops leaves its count up, which costs a post
// that reaches nobody.
struct DdeStatusLinks {
    uint32_t count[STATUS_ITEM_COUNT];
    HSZ topic;  // "Status", made at the first post and kept for the run
};

extern DdeStatusLinks dde_status_links;

// XTYP_ADVSTART on Status: TRUE for one of its items (any letter case),
// which is counted; FALSE for any other item.
BOOL status_advise_start(HSZ item);
// XTYP_ADVSTOP on Status: the item's count goes down; anything else changes nothing.
void status_advise_stop(HSZ item);
// XTYP_REQUEST and XTYP_ADVREQ on Status: the item's value in the format
// asked for (render_dde_data, render_dde_number, render_dde_time); none for
// an unknown item.
HDDEDATA status_data(UINT format, HSZ item);

// Every advise loop on the item fetches its new value before this returns;
// nothing happens while none is open, or before dde_start.
void post_status_advise(StatusItem item);
