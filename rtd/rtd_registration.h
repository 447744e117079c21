// The keys by which COM finds the RTD server and marshals its two
// interfaces. The program writes them for the user, under
// HKEY_CURRENT_USER\Software\Classes, which Windows merges into
// HKEY_CLASSES_ROOT, so that nothing needs elevation; the per-machine
// installer writes the same under HKEY_LOCAL_MACHINE\Software\Classes.
//
// The class:
//   Quellvarden.Quote                                (default) Quellvarden Vantrel RTD server
//   Quellvarden.Quote\CLSID                          (default) {51F696D5-6C46-424D-95EE-29A10B7AB50B}
//   CLSID\{51F696D5-...}                             (default) Quellvarden.Quote
//   CLSID\{51F696D5-...}\LocalServer32               (default) "C:\...\vantrel.exe" (quoted)
//   CLSID\{51F696D5-...}\ProgID                      (default) Quellvarden.Quote
//
// The interfaces, only where Excel's own type library does not already
// describe them in the 64-bit view, and only there: the 32-bit view is a
// 32-bit Office's, whose RTD (every vendor's) would otherwise be pointed at
// a library registered for 64-bit programs only:
//   Interface\{iid}                                  (default) IRtdServer or IRTDUpdateEvent
//   Interface\{iid}\ProxyStubClsid32                 (default) {00020424-0000-0000-C000-000000000046}
//   Interface\{iid}\TypeLib                          (default) {0CAE415D-...}, Version 1.0
//   TypeLib\{0CAE415D-...}\1.0                       (default) Quellvarden Vantrel RTD server
//   TypeLib\{0CAE415D-...}\1.0\0\win64               (default) C:\...\vantrel.exe (its TYPELIB resource)
//   TypeLib\{0CAE415D-...}\1.0\FLAGS                 (default) 0
#pragma once
#include <windows.h>

constexpr char RTD_PROGID[] = "Quellvarden.Quote";
constexpr char RTD_CLSID[] = "{51F696D5-6C46-424D-95EE-29A10B7AB50B}";
// The program's type library (rtd/vantrel_rtd.idl) and the interfaces it
// describes with the IIDs of Excel's.
constexpr char RTD_LIBID[] = "{0CAE415D-A262-4A16-8D6A-33E68156F6F9}";
constexpr char RTD_SERVER_IID[] = "{EC0E6191-DB51-11D3-8F3E-00C04F3651B8}";
constexpr char RTD_UPDATE_EVENT_IID[] = "{A43788C1-D91B-11D3-8F39-00C04F3651B8}";

// Whether the type library `library` (a GUID in braces), version
// major.minor, loads for this program and describes the interface `iid`:
// LoadRegTypeLib in the COM shell.
typedef bool (*LibraryLoads)(const char *library, unsigned major, unsigned minor, const char *iid);
// The Windows builds' LibraryLoads: LoadRegTypeLib in this program's view.
bool type_library_loads(const char *library, unsigned major, unsigned minor, const char *iid);

// The user's class keys, when the ProgID's CLSID or the server's path is
// missing or not this executable's; nothing when both are right, and
// nothing when the machine's keys name this executable (a per-machine
// install, which the user's keys would hide). False when the executable's
// path cannot be read or a key cannot be written.
bool register_rtd_class();

// True when iid's key in the 64-bit view of HKEY_CLASSES_ROOT names a proxy
// stub and a type library with its version, and that library loads and
// describes iid. A missing or unreadable version is not usable.
bool interface_usable(const char *iid, LibraryLoads loads);

// Writes the interface keys above in the 64-bit view under
// root\Software\Classes (HKEY_CURRENT_USER, or HKEY_LOCAL_MACHINE for the
// per-machine installer), naming module (the full path of vantrel.exe),
// when either interface is not usable; writes nothing otherwise. False when
// a key cannot be written.
bool register_rtd_interfaces(HKEY root, const WCHAR *module, LibraryLoads loads);

// Deletes, in one view (KEY_WOW64_32KEY or KEY_WOW64_64KEY) of
// root\Software\Classes, each of the two interfaces' keys that names the
// program's library; keys that name another library stay. With the 64-bit
// view the library's own key goes too (both views share it). Nothing where
// a key cannot be opened for writing.
void remove_rtd_interfaces(HKEY root, REGSAM view);

// At every start, for the user: an older version registered the library
// in both views, which points a 32-bit Excel's RTD at a library for 64-bit
// programs, so those keys go from the 32-bit view (the user's and the
// machine's); then ours go into the 64-bit view as register_rtd_interfaces
// says, naming module. A null module (the program's library did not load)
// writes nothing.
void register_user_rtd_interfaces(const WCHAR *module, LibraryLoads loads);
