// Base64 (RFC 4648), for the accept value of the WebSocket handshake.
#pragma once
#include <cstddef>

// Writes the Base64 encoding of the n bytes at bytes into out, with '='
// padding and no line breaks, then a NUL. out must have room for
// 4 * ceil(n / 3) characters plus the NUL (29 bytes for a SHA-1 digest);
// n == 0 writes only the NUL. bytes may be null when n is 0.
void base64_encode(const unsigned char *bytes, size_t n, char *out);
