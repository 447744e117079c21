// Frame headers read and written, as pure functions of bytes.
#include "feed/frame_codec.h"

#include <winsock2.h>

#include <cstring>

/*
 * Frame layout (multi-byte numbers big-endian):
 *     byte 0      FIN (bit 7), reserved (bits 4-6), opcode (bits 0-3)
 *     byte 1      MASK (bit 7), length code (bits 0-6)
 *     2 or 8      the payload length, for length code 126 or 127 only
 *     4           the mask key, when MASK is set
 *     payload     length code 0-125 is the payload length itself
 * e.g. 81 20 7b 20 22 72 ...   an unmasked text frame of 32 bytes.
 *
 * What FIN, the reserved bits and the opcode mean, and how fragments join
 * into a message, is frames.cpp's business.
 */
constexpr unsigned char LENGTH_16 = 126;
constexpr unsigned char LENGTH_64 = 127;

uint64_t network_to_host64(uint64_t value)
{
    const uint32_t one = 1;
    unsigned char first_byte;
    std::memcpy(&first_byte, &one, 1);
    if (first_byte == 0)
        return value;  // a big-endian host already has network order
    uint32_t low_half = static_cast<uint32_t>(value);
    uint32_t high_half = static_cast<uint32_t>(value >> 32);
    return (static_cast<uint64_t>(ntohl(low_half)) << 32) | ntohl(high_half);
}

size_t frame_header_size(unsigned char second_byte)
{
    size_t size = 2;
    unsigned char length_code = second_byte & 0x7F;
    if (length_code == LENGTH_16)
        size += 2;
    else if (length_code == LENGTH_64)
        size += 8;
    if (second_byte & FRAME_MASK)
        size += 4;
    return size;
}

uint64_t decode_frame_header(const unsigned char *frame, bool masked, size_t &header_size,
                             unsigned char mask_key[4])
{
    unsigned char length_code = frame[1] & 0x7F;
    uint64_t payload_length = length_code;
    if (length_code == LENGTH_16) {
        u_short length;
        std::memcpy(&length, frame + 2, 2);
        payload_length = ntohs(length);
    } else if (length_code == LENGTH_64) {
        uint64_t length;
        std::memcpy(&length, frame + 2, 8);
        payload_length = network_to_host64(length);
    }
    header_size = frame_header_size(static_cast<unsigned char>(length_code | (masked ? FRAME_MASK : 0)));
    if (masked)
        std::memcpy(mask_key, frame + header_size - 4, 4);  // the key ends the header
    return payload_length;
}

FrameStatus decode_frame(const unsigned char *bytes, uint64_t length, uint64_t capacity, Frame &frame)
{
    frame = Frame{};
    if (length < 2)
        return FRAME_INCOMPLETE;
    frame.opcode = bytes[0] & 0x0F;
    frame.masked = (bytes[1] & FRAME_MASK) != 0;
    frame.header_size = frame_header_size(bytes[1]);
    if (length < frame.header_size)
        return FRAME_INCOMPLETE;
    frame.payload_length = decode_frame_header(bytes, frame.masked, frame.header_size, frame.mask_key);
    // Compared as room left, so that no 64-bit length can overflow a sum.
    if (capacity < frame.header_size || frame.payload_length > capacity - frame.header_size)
        return FRAME_NEVER_FITS;
    if (frame.payload_length > length - frame.header_size)
        return FRAME_INCOMPLETE;
    frame.consumed = frame.header_size + frame.payload_length;
    return FRAME_WHOLE;
}

size_t encode_frame_header(int opcode, uint64_t payload_length, unsigned char out[10])
{
    out[0] = static_cast<unsigned char>(FRAME_FIN | (opcode & 0x0F));
    if (payload_length <= 125) {
        out[1] = static_cast<unsigned char>(payload_length);
        return 2;
    }
    if (payload_length <= 0xFFFF) {
        out[1] = LENGTH_16;
        u_short length = htons(static_cast<u_short>(payload_length));
        std::memcpy(out + 2, &length, 2);
        return 4;
    }
    out[1] = LENGTH_64;
    uint64_t length = network_to_host64(payload_length);
    std::memcpy(out + 2, &length, 8);
    return 10;
}

void unmask_payload(unsigned char *payload, uint64_t length, const unsigned char mask_key[4])
{
    for (uint64_t i = 0; i < length; ++i)
        payload[i] ^= mask_key[i % 4];
}
