// Which web pages may feed: loopback origins, remembered answers, the consent box.
#include "feed/origin_policy.h"

#include "core/log.h"
#include "core/status_board.h"
#include "feed/ascii_case.h"
#include "feed/feed_box.h"

#include <cstdio>
#include <cstring>

OriginConsent origin_consent = {false, 0, false};

static const char ORIGINS_KEY[] = "Software\\Quellvarden\\Vantrel\\Origins";
static const char NULL_ORIGIN[] = "null";
static const char CONSENT_CAPTION[] = "Quellvarden Vantrel";
static const char CONSENT_TEXT[] =
    "A web page from\n\n%s\n\nwants to send values to your spreadsheets and to "
    "learn which fields they watch.\n\nAllow this web page to be the feed?";
constexpr UINT CONSENT_BOX = MB_YESNO | MB_DEFBUTTON2 | MB_ICONWARNING | MB_TOPMOST | MB_SETFOREGROUND;

static bool equal_ignoring_case(const char *text, size_t length, const char *word)
{
    return std::strlen(word) == length && starts_with_ignoring_case(text, word);
}

// 127.a.b.c, each part decimal 0 to 255.
static bool is_loopback_quad(const char *host, size_t length)
{
    unsigned parts[4];
    int count = 0;
    size_t i = 0;
    while (count < 4) {
        size_t digits = 0;
        unsigned value = 0;
        while (i < length && host[i] >= '0' && host[i] <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(host[i++] - '0');
            ++digits;
        }
        if (digits == 0 || value > 255)
            return false;
        parts[count++] = value;
        if (count < 4 && (i >= length || host[i++] != '.'))
            return false;
    }
    return i == length && parts[0] == 127;
}

/*
 * An origin is scheme "://" host [":" port], e.g. http://127.0.0.1:8000 or
 * https://feed.example; browsers send "null" for pages without one.
 */
bool is_loopback_origin(const char *origin)
{
    const char *separator = std::strstr(origin, "://");
    if (!separator || separator == origin)
        return false;
    const char *host = separator + 3;
    const char *end;
    if (*host == '[') {
        end = std::strchr(host, ']');
        if (!end)
            return false;
        ++end;
    } else {
        end = host + std::strcspn(host, ":/");
    }
    // Only a port may follow the host.
    if (*end == ':') {
        const char *port = end + 1;
        size_t digits = std::strspn(port, "0123456789");
        if (digits == 0 || port[digits] != '\0')
            return false;
    } else if (*end != '\0') {
        return false;
    }
    size_t length = static_cast<size_t>(end - host);
    return equal_ignoring_case(host, length, "localhost") || equal_ignoring_case(host, length, "[::1]") ||
           is_loopback_quad(host, length);
}

// The answer remembered for origin: 1 allowed, 0 refused, -1 none (no value,
// or one that is not a REG_DWORD of 0 or 1).
static int remembered_answer(const char *origin)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, ORIGINS_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return -1;
    DWORD type = 0, data = 0, size = sizeof data;
    LONG found = RegQueryValueExA(key, origin, nullptr, &type, reinterpret_cast<LPBYTE>(&data), &size);
    RegCloseKey(key);
    if (found != ERROR_SUCCESS || type != REG_DWORD || size != sizeof data || data > 1)
        return -1;
    return static_cast<int>(data);
}

static void remember_answer(const char *origin, bool allowed)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, ORIGINS_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    DWORD data = allowed ? 1 : 0;
    RegSetValueExA(key, origin, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&data), sizeof data);
    RegCloseKey(key);
}

OriginVerdict judge_origin(const RequestOrigin &origin)
{
    if (!origin.present)
        return ORIGIN_WELCOME;
    if (!origin.usable) {
        print_status(STATUS_ERROR, "Web page not allowed: %s", origin.text);
        return ORIGIN_REFUSED;
    }
    if (is_loopback_origin(origin.text))
        return ORIGIN_WELCOME;
    // Every page without an origin of its own sends "null": sandboxed
    // frames, data: pages, requests without a referrer. No answer could
    // tell them apart, so none is asked for.
    if (std::strcmp(origin.text, NULL_ORIGIN) == 0) {
        print_status(STATUS_ERROR, "Web page not allowed: %s", origin.text);
        return ORIGIN_REFUSED;
    }
    int answer = remembered_answer(origin.text);
    if (answer == 1)
        return ORIGIN_WELCOME;
    if (answer == 0) {
        print_status(STATUS_ERROR, "Web page not allowed: %s", origin.text);
        return ORIGIN_REFUSED;
    }
    return ORIGIN_UNKNOWN;
}

void ask_origin_consent(const char *origin)
{
    ULONGLONG now = GetTickCount64();
    if (feed_boxes.open ||
        (origin_consent.asked && now - origin_consent.last_asked < CONSENT_INTERVAL_MS)) {
        print_status(STATUS_ERROR, "Web page not allowed: %s", origin);
        return;
    }
    print_status(STATUS_ERROR, "Web page waiting for consent: %s", origin);
    origin_consent.asked = true;
    origin_consent.last_asked = now;
    // The origin is kept here: while the box is open, other clients come and
    // go through the receive buffer it was read from.
    char kept[ORIGIN_MAX + 1];
    std::snprintf(kept, sizeof kept, "%s", origin);
    char text[sizeof CONSENT_TEXT + ORIGIN_MAX];
    std::snprintf(text, sizeof text, CONSENT_TEXT, kept);
    int answer = show_feed_box(text, CONSENT_CAPTION, CONSENT_BOX);
    // Only an explicit answer counts: not a box ended by the program closing.
    if (origin_consent.stopped || (answer != IDYES && answer != IDNO))
        return;
    remember_answer(kept, answer == IDYES);
    log_event(answer == IDYES ? "Web page allowed by the user: %s" : "Web page not allowed by the user: %s",
              kept);
    print_status(STATUS_ERROR, answer == IDYES ? "Web page allowed: %s" : "Web page not allowed: %s", kept);
}

void stop_origin_consent()
{
    origin_consent.stopped = true;
}
