// WebSocket frames (RFC 6455 base framing) as pure functions of bytes: no
// socket, no record, no state. What a frame means is frames.cpp's business.
#pragma once
#include <cstddef>
#include <cstdint>

enum FrameOpcode {
    OPCODE_CONTINUATION = 0x0,
    OPCODE_TEXT = 0x1,
    OPCODE_BINARY = 0x2,
    OPCODE_CLOSE = 0x8,
    OPCODE_PING = 0x9,
    OPCODE_PONG = 0xA,
};

constexpr unsigned char FRAME_FIN = 0x80;
constexpr unsigned char FRAME_MASK = 0x80;
// The longest header: 2 bytes, an 8-byte length and a 4-byte mask key.
constexpr size_t FRAME_HEADER_MAX = 14;

enum FrameStatus {
    FRAME_NEVER_FITS = -1,  // the header announces more than the buffer can ever hold
    FRAME_INCOMPLETE = 0,   // more bytes are needed to know or to have the frame
    FRAME_WHOLE = 1,        // header and payload are all there
};

struct Frame {
    int opcode;                 // bits 0-3 of byte 0
    bool masked;                // bit 7 of byte 1
    unsigned char mask_key[4];  // the key bytes in frame order, when masked
    size_t header_size;         // 2, 4 or 10, plus 4 when masked; the payload follows
    uint64_t payload_length;
    uint64_t consumed;  // header_size + payload_length
};

// Reads the frame at the start of bytes[0..length), which lies in a buffer
// of `capacity` bytes. FRAME_WHOLE fills frame completely; FRAME_INCOMPLETE
// and FRAME_NEVER_FITS leave it with what the header gave so far. Reads no
// byte at or past bytes[length]; no length can overflow. The payload is not
// unmasked here (unmask_payload).
FrameStatus decode_frame(const unsigned char *bytes, uint64_t length, uint64_t capacity, Frame &frame);

// value as loaded from memory, from network (big-endian) to host order, and
// back: the same swap both ways.
uint64_t network_to_host64(uint64_t value);

// The header size that the first two bytes of a frame announce: 2, 4 or 10,
// plus 4 when masked.
size_t frame_header_size(unsigned char second_byte);

// Reads a whole header (frame_header_size bytes must be there). Returns the
// payload length; header_size is where the payload begins; mask_key gets the
// four key bytes when masked.
uint64_t decode_frame_header(const unsigned char *frame, bool masked, size_t &header_size,
                             unsigned char mask_key[4]);

// Writes the header of an unmasked frame (FIN set) into out and returns its
// size: 2, 4 or 10 bytes, the shortest length form that holds the length.
size_t encode_frame_header(int opcode, uint64_t payload_length, unsigned char out[10]);

// Undoes (or applies) the mask in place: byte i is combined with key byte i mod 4.
void unmask_payload(unsigned char *payload, uint64_t length, const unsigned char mask_key[4]);
