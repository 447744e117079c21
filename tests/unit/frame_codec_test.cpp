// The frame codec's contract, on bytes built independently of it
// (client_frame in test_support.cpp).
#include "test_support.h"

#include "feed/frame_codec.h"

#include <cstring>
#include <limits>

TEST(NetworkOrder, EightBytesReadBigEndian)
{
    const unsigned char bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint64_t loaded;
    std::memcpy(&loaded, bytes, 8);
    EXPECT_EQ(network_to_host64(loaded), 0x0102030405060708u);
}

TEST(DecodeFrameHeader, LengthFormsAndMaskKey)
{
    struct Case {
        std::string frame;
        uint64_t payload_length;
        size_t header_size;
    } cases[] = {
        {std::string("\x81\x05", 2), 5, 2},
        {std::string("\x81\x85\x01\x02\x03\x04", 6), 5, 6},
        {std::string("\x81\x7D", 2), 125, 2},
        {std::string("\x81\x7E\x01\x00", 4), 256, 4},
        {std::string("\x81\xFE\x01\x00\x01\x02\x03\x04", 8), 256, 8},
        {std::string("\x81\x7F\x00\x00\x00\x01\x00\x00\x00\x02", 10), 0x100000002u, 10},
        {std::string("\x81\xFF\x80\x00\x00\x00\x00\x00\x00\x00\x01\x02\x03\x04", 14), 1ull << 63, 14},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.payload_length);
        const unsigned char *frame = reinterpret_cast<const unsigned char *>(c.frame.data());
        bool masked = (frame[1] & 0x80) != 0;
        ASSERT_EQ(frame_header_size(frame[1]), c.header_size);
        size_t header_size = 0;
        unsigned char key[4] = {};
        EXPECT_EQ(decode_frame_header(frame, masked, header_size, key), c.payload_length);
        EXPECT_EQ(header_size, c.header_size);
        if (masked) {
            EXPECT_EQ(std::string(reinterpret_cast<char *>(key), 4), "\x01\x02\x03\x04");
        }
    }
}

struct LengthForm {
    const char *name;
    size_t payload_length;
    bool masked;
    size_t header_size;
};

static const LengthForm LENGTH_FORMS[] = {
    {"Empty", 0, false, 2},           {"EmptyMasked", 0, true, 6},     {"Short125", 125, false, 2},
    {"Short125Masked", 125, true, 6}, {"Middle126", 126, false, 4},    {"Middle126Masked", 126, true, 8},
    {"Middle65535", 65535, false, 4}, {"Long65536", 65536, false, 10}, {"Long65536Masked", 65536, true, 14},
};

class FrameCodec : public testing::TestWithParam<LengthForm> {};

// The whole frame decodes to what was built; every shorter prefix of it is
// not complete yet, and reading stops at the given length (ASan watches the
// copy, which ends there).
TEST_P(FrameCodec, WholeFrameAndEveryCutOfIt)
{
    const LengthForm &form = GetParam();
    std::string payload(form.payload_length, 'p');
    std::string bytes = client_frame(0x82, payload, form.masked);
    const uint64_t capacity = std::numeric_limits<uint64_t>::max();

    Frame frame;
    ASSERT_EQ(
        decode_frame(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), capacity, frame),
        FRAME_WHOLE);
    EXPECT_EQ(frame.opcode, OPCODE_BINARY);
    EXPECT_EQ(frame.masked, form.masked);
    EXPECT_EQ(frame.header_size, form.header_size);
    EXPECT_EQ(frame.payload_length, form.payload_length);
    EXPECT_EQ(frame.consumed, bytes.size());
    std::string unmasked = bytes.substr(frame.header_size);
    if (form.masked)
        unmask_payload(reinterpret_cast<unsigned char *>(&unmasked[0]), unmasked.size(), frame.mask_key);
    EXPECT_TRUE(unmasked == payload);

    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        std::unique_ptr<unsigned char[]> prefix(new unsigned char[cut + 1]);
        std::memcpy(prefix.get(), bytes.data(), cut);
        ASSERT_EQ(decode_frame(prefix.get(), cut, capacity, frame), FRAME_INCOMPLETE) << cut << " bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(LengthForms, FrameCodec, testing::ValuesIn(LENGTH_FORMS),
                         [](const testing::TestParamInfo<LengthForm> &info) { return info.param.name; });

// A frame announced larger than the buffer can ever hold is known as soon as
// its header is there; one that just fits is waited for.
TEST(FrameCodecCapacity, NeverFitsIsKnownFromTheHeader)
{
    struct Case {
        std::string header;
        uint64_t capacity;
        FrameStatus status;
    } cases[] = {
        {std::string("\x81\x7E\x28\x04", 4), 10248, FRAME_INCOMPLETE},  // 10244 + 4: fills it exactly
        {std::string("\x81\x7E\x28\x05", 4), 10248, FRAME_NEVER_FITS},  // one byte more
        {std::string("\x81\xFE\x28\x00mask", 8), 10248, FRAME_INCOMPLETE},
        {std::string("\x81\xFE\x28\x01mask", 8), 10248, FRAME_NEVER_FITS},
        {std::string("\x81\x7F\x80\x00\x00\x00\x00\x00\x00\x00", 10), 10248, FRAME_NEVER_FITS},
        {std::string("\x81\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFFmask", 14),
         std::numeric_limits<uint64_t>::max(), FRAME_NEVER_FITS},
        {std::string("\x81\x05", 2), 7, FRAME_INCOMPLETE},
        {std::string("\x81\x05", 2), 6, FRAME_NEVER_FITS},
        {std::string("\x81\x05", 2), 1, FRAME_NEVER_FITS},  // not even the header fits
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.header.size() << "-byte header, capacity " << c.capacity);
        Frame frame;
        EXPECT_EQ(decode_frame(reinterpret_cast<const unsigned char *>(c.header.data()), c.header.size(),
                               c.capacity, frame),
                  c.status);
    }
}

// Headers the program writes decode to what it meant, in the shortest form.
TEST(FrameCodecEncode, HeadersReadBackInTheShortestForm)
{
    const uint64_t lengths[] = {0, 1, 125, 126, 127, 65535, 65536, 1ull << 32, 1ull << 63};
    for (uint64_t length : lengths) {
        SCOPED_TRACE(length);
        unsigned char header[10];
        size_t size = encode_frame_header(OPCODE_PONG, length, header);
        EXPECT_EQ(size, length <= 125 ? 2u : length <= 65535 ? 4u : 10u);
        EXPECT_EQ(frame_header_size(header[1]), size);
        size_t header_size = 0;
        unsigned char key[4];
        EXPECT_EQ(decode_frame_header(header, false, header_size, key), length);
        EXPECT_EQ(header[0], FRAME_FIN | OPCODE_PONG);
    }
}
