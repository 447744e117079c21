// The DDE server: service "Quellvarden", topics "Quote" and "Time" with
// items <insref>.<field>, and "Status" (dde_status.h).
#pragma once
#include <windows.h>
#include <ddeml.h>

#include "core/field_links.h"

extern DWORD dde_instance;
extern HSZ service_name;     // "Quellvarden"
extern HSZ topic_name;       // "Quote"
extern HSZ time_topic_name;  // "Time", made at the first post for a Time link
extern UINT xltable_format;

// Registers the service. Ends the process (exit code 0) after a message box
// when the library cannot start or the service name cannot be made. Returns 0
// after a warning when the name service refuses the name: the program then
// stays unreachable (and start-up leaves the feed closed). Returns 1 on
// success.
int dde_start();

// Has every advise loop on item (the field at place) fetch its field's new
// value, or time, before this returns: the DDE library calls dde_callback
// for each, which takes registry_lock again on this thread. One post on
// Quote, and one on Time for a field with Time links. Nothing before
// dde_start has run.
void post_advise(const char *item, FieldPlace place);

// The transaction callback; see dde_service.cpp for the answers.
HDDEDATA CALLBACK dde_callback(UINT type, UINT format, HCONV conversation, HSZ topic, HSZ item, HDDEDATA data,
                               ULONG_PTR data1, ULONG_PTR data2);
