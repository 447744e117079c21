// The DDE server: service "Quellvarden", topic "Quote", items <insref>.<field>.
#pragma once
#include <windows.h>
#include <ddeml.h>

#include <cstdint>

extern DWORD dde_instance;
extern HSZ service_name;  // "Quellvarden"
extern HSZ topic_name;    // "Quote"
extern UINT xltable_format;
// Advise loops open on the service. While there is none, a change posts
// nothing: a sheet linked through RTD alone costs the DDE library nothing
// per update (a string handle and a walk of its links each).
extern uint64_t dde_advise_loops;

// Registers the service. Ends the process (exit code 0) after a message box
// when the library cannot start or the service name cannot be made. Returns 0
// after a warning when the name service refuses the name: the program then
// stays unreachable (and start-up leaves the feed closed). Returns 1 on
// success.
int dde_start();

// Has every advise loop on item fetch its field's new value before this
// returns (nothing when no loop is open on the service): the DDE library calls dde_callback for each, which takes
// registry_lock again on this thread. Nothing before dde_start has run.
void post_advise(const char *item);

// The transaction callback; see dde_service.cpp for the answers.
HDDEDATA CALLBACK dde_callback(UINT type, UINT format, HCONV conversation, HSZ topic, HSZ item, HDDEDATA data,
                               ULONG_PTR data1, ULONG_PTR data2);
