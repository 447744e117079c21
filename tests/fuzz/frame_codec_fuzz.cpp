// The frame codec on arbitrary bytes: decode_frame reads nothing past the
// bytes it is given (libFuzzer's copy of the input ends there, and ASan
// watches), tells a whole frame, one still arriving and one that can never
// fit apart as the frame layout says, and agrees with the header functions;
// what encode_frame_header writes decodes back to the same length.
//
// Input: byte 0 chooses the capacity of the buffer the frame lies in
// (0-15 as such, 0xFE the feed's receive buffer, 0xFF no limit, else 41
// times the byte); the rest are the bytes received.
#include "feed/feed_client.h"
#include "feed/frame_codec.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstdint>
#include <cstring>
#include <vector>

static uint64_t capacity_for(uint8_t choice)
{
    if (choice < 16)
        return choice;
    if (choice == 0xFE)
        return FEED_BUFFER_SIZE;
    if (choice == 0xFF)
        return UINT64_MAX;
    return choice * 41u;
}

// The payload length as the frame layout gives it, read byte by byte.
static uint64_t layout_payload_length(const uint8_t *bytes)
{
    uint8_t code = bytes[1] & 0x7F;
    if (code < 126)
        return code;
    int count = code == 126 ? 2 : 8;
    uint64_t length = 0;
    for (int i = 0; i < count; ++i)
        length = length << 8 | bytes[2 + i];
    return length;
}

static size_t layout_header_size(uint8_t second_byte)
{
    uint8_t code = second_byte & 0x7F;
    return (code < 126 ? 2 : code == 126 ? 4 : 10) + (second_byte & 0x80 ? 4 : 0);
}

static bool fits(uint64_t header_size, uint64_t payload_length, uint64_t capacity)
{
    return header_size <= capacity && payload_length <= capacity - header_size;
}

static void check_decoding(const uint8_t *bytes, uint64_t length, uint64_t capacity)
{
    Frame frame;
    FrameStatus status = decode_frame(bytes, length, capacity, frame);
    if (length < 2) {
        FUZZ_CHECK(status == FRAME_INCOMPLETE);
        return;
    }
    size_t header_size = layout_header_size(bytes[1]);
    FUZZ_CHECK(frame_header_size(bytes[1]) == header_size);
    FUZZ_CHECK(frame.opcode == (bytes[0] & 0x0F));
    FUZZ_CHECK(frame.masked == ((bytes[1] & 0x80) != 0));
    FUZZ_CHECK(frame.header_size == header_size);
    if (length < header_size) {
        FUZZ_CHECK(status == FRAME_INCOMPLETE);
        return;
    }

    uint64_t payload_length = layout_payload_length(bytes);
    FUZZ_CHECK(frame.payload_length == payload_length);
    size_t decoded_header_size = 0;
    unsigned char key[4] = {};
    FUZZ_CHECK(decode_frame_header(bytes, frame.masked, decoded_header_size, key) == payload_length);
    FUZZ_CHECK(decoded_header_size == header_size);
    if (frame.masked) {
        FUZZ_CHECK(std::memcmp(key, bytes + header_size - 4, 4) == 0);
        FUZZ_CHECK(std::memcmp(frame.mask_key, key, 4) == 0);
    }

    if (!fits(header_size, payload_length, capacity)) {
        FUZZ_CHECK(status == FRAME_NEVER_FITS);
    } else if (payload_length > length - header_size) {
        FUZZ_CHECK(status == FRAME_INCOMPLETE);
    } else {
        FUZZ_CHECK(status == FRAME_WHOLE);
        FUZZ_CHECK(frame.consumed == header_size + payload_length);
        // One byte short of the frame is a frame still arriving.
        Frame shorter;
        FUZZ_CHECK(decode_frame(bytes, frame.consumed - 1, capacity, shorter) == FRAME_INCOMPLETE);
    }
}

static void check_encoding(int opcode, uint64_t payload_length)
{
    unsigned char header[10];
    size_t size = encode_frame_header(opcode, payload_length, header);
    FUZZ_CHECK(size == (payload_length <= 125 ? 2u : payload_length <= 0xFFFF ? 4u : 10u));
    FUZZ_CHECK(header[0] == (0x80 | (opcode & 0x0F)));
    FUZZ_CHECK((header[1] & 0x80) == 0);
    FUZZ_CHECK(layout_payload_length(header) == payload_length);
    Frame frame;
    FrameStatus status = decode_frame(header, size, UINT64_MAX, frame);
    if (!fits(size, payload_length, UINT64_MAX))
        FUZZ_CHECK(status == FRAME_NEVER_FITS);
    else
        FUZZ_CHECK(status == (payload_length == 0 ? FRAME_WHOLE : FRAME_INCOMPLETE));
    FUZZ_CHECK(frame.payload_length == payload_length && frame.header_size == size);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t *bytes = data + 1;
    uint64_t length = size - 1;
    check_decoding(bytes, length, capacity_for(data[0]));

    // The same bytes as a header to write: the opcode of byte 0, the length
    // the layout reads from them.
    if (length >= 10)
        check_encoding(bytes[0] & 0x0F, layout_payload_length(bytes));

    // Eight bytes as loaded from memory, from network order and back.
    if (size >= 8) {
        uint64_t loaded;
        std::memcpy(&loaded, data, 8);
        FUZZ_CHECK(network_to_host64(network_to_host64(loaded)) == loaded);
        uint64_t big_endian = 0;
        for (int i = 0; i < 8; ++i)
            big_endian = big_endian << 8 | data[i];
        FUZZ_CHECK(network_to_host64(loaded) == big_endian);
    }

    // Masking twice gives the payload back.
    if (length == 0)
        return 0;
    std::vector<unsigned char> payload(bytes, bytes + length);
    unsigned char key[4] = {0x37, 0xFA, 0x21, 0x3D};
    if (length >= 4)
        std::memcpy(key, bytes, 4);
    unmask_payload(payload.data(), payload.size(), key);
    for (uint64_t i = 0; i < length; ++i)
        FUZZ_CHECK(payload[i] == (bytes[i] ^ key[i % 4]));
    unmask_payload(payload.data(), payload.size(), key);
    FUZZ_CHECK(std::memcmp(payload.data(), bytes, length) == 0);
    return 0;
}
