// SHA-1 (FIPS 180-1), for the handshake's accept value.
#include "feed/sha1.h"

#include <winsock2.h>

#include <sstream>

static uint32_t rotate_left(uint32_t value, int bits)
{
    return (value << bits) | (value >> (32 - bits));
}

// Byte 4i of the block is the most significant byte of word i.
static void load_block(const std::string &block, uint32_t words[16])
{
    for (int i = 0; i < 16; i++) {
        words[i] = 0;
        for (int j = 0; j < 4; j++)
            words[i] = (words[i] << 8) | static_cast<unsigned char>(block[4 * i + j]);
    }
}

Sha1Digest::Sha1Digest() : pending_block()
{
    reset();
}

void Sha1Digest::reset()
{
    digest_words[0] = 0x67452301;
    digest_words[1] = 0xEFCDAB89;
    digest_words[2] = 0x98BADCFE;
    digest_words[3] = 0x10325476;
    digest_words[4] = 0xC3D2E1F0;
    pending_block.clear();
    block_count = 0;
}

void Sha1Digest::update(const std::string &text)
{
    std::istringstream input(text);
    char piece[64];
    for (;;) {
        std::streamsize wanted = static_cast<std::streamsize>(64 - pending_block.size());
        input.read(piece, wanted);
        pending_block.append(piece, static_cast<size_t>(input.gcount()));
        if (pending_block.size() != 64)
            break;
        uint32_t words[16];
        load_block(pending_block, words);
        transform(words);
        pending_block.clear();
    }
}

void Sha1Digest::transform(uint32_t block[16])
{
    uint32_t a = digest_words[0], b = digest_words[1], c = digest_words[2], d = digest_words[3],
             e = digest_words[4];
    for (int i = 0; i < 80; i++) {
        // The schedule lives in the sixteen words as a circular array.
        if (i >= 16)
            block[i & 15] = rotate_left(
                block[(i + 13) & 15] ^ block[(i + 8) & 15] ^ block[(i + 2) & 15] ^ block[i & 15], 1);
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        uint32_t temp = rotate_left(a, 5) + f + e + k + block[i & 15];
        e = d;
        d = c;
        c = rotate_left(b, 30);
        b = a;
        a = temp;
    }
    digest_words[0] += a;
    digest_words[1] += b;
    digest_words[2] += c;
    digest_words[3] += d;
    digest_words[4] += e;
    block_count++;
}

const unsigned char *Sha1Digest::finalize()
{
    uint64_t bit_length = (block_count * 64 + pending_block.size()) * 8;
    pending_block += '\x80';
    size_t marked = pending_block.size();
    pending_block.append(64 - marked, '\0');
    uint32_t words[16];
    load_block(pending_block, words);
    pending_block.clear();
    // No room left for the 8-byte length: it goes into a block of its own.
    if (marked > 56) {
        transform(words);
        for (int i = 0; i < 14; i++)
            words[i] = 0;
    }
    words[14] = static_cast<uint32_t>(bit_length >> 32);
    words[15] = static_cast<uint32_t>(bit_length);
    transform(words);
    // Host order to big-endian (ntohl and htonl are the same swap), so the
    // array reads as the digest in memory order.
    for (int i = 0; i < 5; i++)
        digest_words[i] = static_cast<uint32_t>(ntohl(digest_words[i]));
    return reinterpret_cast<const unsigned char *>(digest_words);
}
