// Which web pages may be the feed client. Local programs (no Origin header)
// and pages served from this machine (a loopback origin) are as trusted as
// the user; any other page only once the user has allowed its origin, which
// is remembered under HKEY_CURRENT_USER\Software\Quellvarden\Vantrel\Origins
// (one REG_DWORD per origin, named by the origin as sent: 1 allowed, 0
// refused). The origin "null" (pages opened from disk, sandboxed frames,
// requests without a referrer) is always refused, without asking.
#pragma once
#include "feed/handshake.h"

#include <windows.h>

enum OriginVerdict {
    ORIGIN_WELCOME,  // handled as any local client
    ORIGIN_REFUSED,  // closed without a 101 response; said on status line 4
    ORIGIN_UNKNOWN,  // closed without a 101 response too; then ask_origin_consent
};

// The user's answers of this run, and when a consent box was last shown.
struct OriginConsent {
    bool asked;            // a consent box has been shown in this run
    ULONGLONG last_asked;  // GetTickCount64 when it was
    bool stopped;          // the program is ending: answers are no longer recorded
};

extern OriginConsent origin_consent;

constexpr ULONGLONG CONSENT_INTERVAL_MS = 60000;

// True when the origin's host is a loopback name: localhost, 127.0.0.0/8
// written as a dotted quad, or [::1], with any scheme and port.
bool is_loopback_origin(const char *origin);

// What to do with a client whose request head carried origin. Writes the
// refusals to status line 4.
OriginVerdict judge_origin(const RequestOrigin &origin);

// Asks the user, in a Yes/No box, whether the page of origin may feed the
// spreadsheets, and remembers an explicit answer. At most one box at a time
// and one a minute: an origin that comes meanwhile is refused and not
// remembered; so is one that comes while another feed box is open. Call it
// once the client is closed: the box is modal.
void ask_origin_consent(const char *origin);

// The program is ending: a consent box closed by that records nothing.
void stop_origin_consent();
