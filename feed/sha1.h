// SHA-1 (FIPS 180-1, RFC 3174), for the accept value of the WebSocket handshake.
#pragma once
#include <cstdint>
#include <string>

// One SHA-1 computation. Made on the stack by its user and used for one
// digest: construct (or reset), update any number of times, finalize once.
//
// Invariants between calls: pending_block holds 0 to 63 bytes, the input not
// yet compressed; block_count counts the 64-byte blocks compressed so far.
class Sha1Digest {
public:
    uint32_t digest_words[5];   // H0..H4; after finalize, each stored big-endian
    std::string pending_block;  // input bytes short of a full 64-byte block
    uint64_t block_count;       // 64-byte blocks compressed so far

    // Starts an empty message (calls reset).
    Sha1Digest();

    // Back to the initial chaining values with no input seen.
    void reset();

    // Appends all bytes of text (NUL bytes included) to the message.
    void update(const std::string &text);

    // Compresses one 64-byte block given as sixteen big-endian words into
    // digest_words and counts it. Uses block as its message schedule, so the
    // sixteen words are overwritten.
    void transform(uint32_t block[16]);

    // Pads the message, compresses the last block(s) and returns the 20 digest
    // bytes, which are digest_words itself: valid while the object lives and
    // until the next reset. Does not reset; call it once per message.
    const unsigned char *finalize();
};
