// The DDE server: service "Quellvarden", topic "Quote", items <insref>.<field>.
#pragma once
#include <windows.h>
#include <ddeml.h>

extern DWORD dde_instance;
extern HSZ service_name;  // "Quellvarden"
extern HSZ topic_name;    // "Quote"
extern UINT xltable_format;

// Asks the feed client for a field that an advise start has just added (the
// whole item text). Start-up sets it to the feed's send_request; while it is
// null, nobody is asked. Its result is not looked at.
extern int (*request_new_field)(const char *item);

// Registers the service. Ends the process (exit code 0) after a message box
// when the library cannot start or the service name cannot be made. Returns 0
// after a warning when the name service refuses the name: the program then
// stays unreachable (and start-up leaves the feed closed). Returns 1 on
// success.
int dde_start();

// The transaction callback; see dde_service.cpp for the answers.
HDDEDATA CALLBACK dde_callback(UINT type, UINT format, HCONV conversation, HSZ topic, HSZ item, HDDEDATA data,
                               ULONG_PTR data1, ULONG_PTR data2);
