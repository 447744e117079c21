// The DDE server: service "Quellvarden", topics "Quote" and "Time" with
// items <insref>.<field>, and "Status" (dde_status.h).
//
// The DDE side answers as DDEML does: TRUE or FALSE, or a handle (null when
// there is none). A function added here answers the same way.
#pragma once
#include <windows.h>
#include <ddeml.h>

#include "core/field_links.h"
#include <cstdint>

extern DWORD dde_instance;
extern HSZ service_name;     // "Quellvarden"
extern HSZ topic_name;       // "Quote"
extern HSZ time_topic_name;  // "Time", made at the first post for a Time link
extern UINT xltable_format;
// Advise loops open on the service. While there is none, a change posts
// nothing: a sheet linked through RTD alone costs the DDE library nothing
// per update (a string handle and a walk of its links each).
extern uint64_t dde_advise_loops;

// What start-up shows in a message box (no owner, MB_OK) when dde_start
// does not succeed, and whether the program can run on.
struct DdeStartReport {
    bool fatal;        // the library could not start or the name not be made
    const char *text;  // the box's text
    char caption[100];
};

// Registers the service: TRUE on success. FALSE with *report filled when it
// does not; shows nothing and never ends the process. When report->fatal,
// nothing is left of the DDE side (dde_instance is 0 again) and start-up
// ends the program; otherwise only the name service refused the name, and
// the program runs on unreachable under it (start-up leaves the feed
// closed unless the RTD server serves).
BOOL dde_start(DdeStartReport *report);

// Has every advise loop on item (the field at place) fetch its field's new
// value, or time, before this returns (nothing when no loop is open on the
// service): the DDE library calls dde_callback for each, which takes
// registry_lock again on this thread. One post on Quote, and one on Time
// for a field with Time links. Nothing before dde_start has run, nor after
// a dde_start that failed.
void post_advise(const char *item, FieldPlace place);

// The transaction callback; see dde_service.cpp for the answers.
HDDEDATA CALLBACK dde_callback(UINT type, UINT format, HCONV conversation, HSZ topic, HSZ item, HDDEDATA data,
                               ULONG_PTR data1, ULONG_PTR data2);
