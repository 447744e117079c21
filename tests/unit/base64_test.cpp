#include "feed/base64.h"
#include "feed/sha1.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Encodes into a buffer of exactly the documented size, so that a write past
// it is caught by AddressSanitizer.
static std::string encoded(const std::string &bytes)
{
    std::vector<char> out(4 * ((bytes.size() + 2) / 3) + 1, '#');
    base64_encode(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), out.data());
    EXPECT_EQ(out.back(), '\0');
    return std::string(out.data());
}

struct Base64Case {
    std::string bytes;
    const char *text;
};

static const Base64Case BASE64_CASES[] = {
    // RFC 4648, section 10.
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    // High bits and the last two digits of the alphabet.
    {"\xfb\xff", "+/8="},
    {"\xff\xff\xff", "////"},
    {std::string("\0\0\0\0", 4), "AAAAAA=="},
};

TEST(Base64, KnownEncodings)
{
    for (const Base64Case &c : BASE64_CASES) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(encoded(c.bytes), c.text);
    }
}

TEST(Base64, EmptyInputWritesOnlyTheNul)
{
    char out[2] = {'#', '#'};
    base64_encode(nullptr, 0, out);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], '#');
}

// The WebSocket accept value of the sample handshake in RFC 6455, 1.3.
TEST(Base64, SampleHandshakeAcceptValue)
{
    Sha1Digest digest;
    digest.update(std::string("dGhlIHNhbXBsZSBub25jZQ==") + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11");
    const unsigned char *bytes = digest.finalize();
    std::vector<char> out(29);
    base64_encode(bytes, 20, out.data());
    EXPECT_STREQ(out.data(), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}
