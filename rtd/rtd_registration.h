// The keys by which COM finds the RTD server: per user, under
// HKEY_CURRENT_USER\Software\Classes, which Windows merges into
// HKEY_CLASSES_ROOT, so that nothing needs elevation:
//   Quellvarden.Quote                                (default) Quellvarden Vantrel RTD server
//   Quellvarden.Quote\CLSID                          (default) {51F696D5-6C46-424D-95EE-29A10B7AB50B}
//   CLSID\{51F696D5-...}                             (default) Quellvarden.Quote
//   CLSID\{51F696D5-...}\LocalServer32               (default) "C:\...\vantrel.exe" (quoted)
//   CLSID\{51F696D5-...}\ProgID                      (default) Quellvarden.Quote
#pragma once

constexpr char RTD_PROGID[] = "Quellvarden.Quote";
constexpr char RTD_CLSID[] = "{51F696D5-6C46-424D-95EE-29A10B7AB50B}";

// Writes the keys when the ProgID's CLSID or the server's path is missing
// or not this executable's; writes nothing when both are right. False when
// the executable's path cannot be read or a key cannot be written.
bool register_rtd_class();
