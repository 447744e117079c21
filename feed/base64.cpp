// Base64 with padding (RFC 4648), for the handshake's accept value.
#include "feed/base64.h"

// The 64 digits, then the pad character at index 64.
static const char BASE64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";

void base64_encode(const unsigned char *bytes, size_t n, char *out)
{
    size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        unsigned long group = (static_cast<unsigned long>(bytes[i]) << 16) |
                              (static_cast<unsigned long>(bytes[i + 1]) << 8) | bytes[i + 2];
        *out++ = BASE64_ALPHABET[(group >> 18) & 63];
        *out++ = BASE64_ALPHABET[(group >> 12) & 63];
        *out++ = BASE64_ALPHABET[(group >> 6) & 63];
        *out++ = BASE64_ALPHABET[group & 63];
    }
    size_t left = n - i;
    if (left > 0) {
        unsigned long group = static_cast<unsigned long>(bytes[i]) << 16;
        if (left == 2)
            group |= static_cast<unsigned long>(bytes[i + 1]) << 8;
        *out++ = BASE64_ALPHABET[(group >> 18) & 63];
        *out++ = BASE64_ALPHABET[(group >> 12) & 63];
        *out++ = left == 2 ? BASE64_ALPHABET[(group >> 6) & 63] : BASE64_ALPHABET[64];
        *out++ = BASE64_ALPHABET[64];
    }
    *out = '\0';
}
