#include "feed/sha1.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

static std::string hex_of(const unsigned char *bytes)
{
    std::string hex;
    char pair[3];
    for (int i = 0; i < 20; i++) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        hex += pair;
    }
    return hex;
}

static std::string digest_hex(const std::string &message)
{
    Sha1Digest digest;
    digest.update(message);
    return hex_of(digest.finalize());
}

// 119 bytes of every value, so that splits fall inside and across blocks.
static std::string mixed_message()
{
    std::string message;
    for (int i = 0; i < 119; i++)
        message += static_cast<char>((i * 7 + 3) & 0xff);
    return message;
}

struct DigestCase {
    const char *name;
    std::string message;
    const char *hex;
};

// Expected digests from the FIPS 180-1 / RFC 3174 examples, the rest checked
// with Python's hashlib. 55 to 65 bytes move the 0x80 marker and the length
// across the end of the first block.
static const DigestCase DIGEST_CASES[] = {
    {"empty", "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {"abc", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {"55 bytes", std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
    {"56 bytes", std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
    {"63 bytes", std::string(63, 'a'), "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
    {"64 bytes", std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
    {"65 bytes", std::string(65, 'a'), "11655326c708d70319be2610e8a57d9a5b959d3b"},
    {"640 bytes",
     [] {
         std::string m;
         for (int i = 0; i < 10; i++)
             m += "0123456701234567012345670123456701234567012345670123456701234567";
         return m;
     }(),
     "dea356a2cddd90c7a7ecedc5ebb563934f460452"},
    {"all byte values", mixed_message(), "504e27376a6e0f0dba8295b85cb25dc4dfa17d23"},
    {"embedded NUL", std::string("a\0b", 3), "4a3dec2d1f8245280855c42db0ee4239f917fdb8"},
};

TEST(Sha1, KnownDigests)
{
    for (const DigestCase &c : DIGEST_CASES) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(digest_hex(c.message), c.hex);
    }
}

TEST(Sha1, MillionAFedInPieces)
{
    Sha1Digest digest;
    const std::string piece(1000, 'a');  // not a multiple of 64
    for (int i = 0; i < 1000; i++)
        digest.update(piece);
    EXPECT_EQ(hex_of(digest.finalize()), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1, SplitUpdatesEqualOneUpdate)
{
    const std::string message = mixed_message();
    const std::string whole = digest_hex(message);
    for (size_t first = 0; first <= message.size(); first++) {
        for (size_t second = first; second <= message.size(); second += 13) {
            SCOPED_TRACE(testing::Message() << "cuts at " << first << " and " << second);
            Sha1Digest digest;
            digest.update(message.substr(0, first));
            digest.update(message.substr(first, second - first));
            digest.update(message.substr(second));
            EXPECT_EQ(hex_of(digest.finalize()), whole);
        }
    }
    Sha1Digest bytewise;
    for (char byte : message)
        bytewise.update(std::string(1, byte));
    EXPECT_EQ(hex_of(bytewise.finalize()), whole);
}

TEST(Sha1, ResetStartsANewMessage)
{
    Sha1Digest digest;
    digest.update(std::string(100, 'x'));
    digest.finalize();
    digest.reset();
    digest.update("abc");
    EXPECT_EQ(hex_of(digest.finalize()), "a9993e364706816aba3e25717850c26c9cd0d89d");
}
