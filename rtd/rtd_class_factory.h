// The class object COM hands Excel's CoCreateInstance to: it makes one
// server object (rtd/rtd_server_object.h) per call, each with a topic
// table of its own, and refuses once the program is closing.
#pragma once

// Registers the class object for Quellvarden.Quote (CLSCTX_LOCAL_SERVER,
// REGCLS_MULTIPLEUSE); true when COM took it.
bool register_class_object();

// Revokes it, once registered; nothing otherwise.
void revoke_class_object();
