// A feed client's messages as they travel: in one frame or in fragments,
// with control frames between them, cut into reads. What the cell gets, what
// the client is sent back (pongs, a close with its code) and what status line
// 4 says; and what the receive buffer holds on to afterwards.
#include "feed/receive_buffer.h"
#include "test_support.h"

#include <algorithm>
#include <vector>

namespace {

std::string update(const std::string &value)
{
    return "{\"key\":\"1234.lastprice\",\"value\":\"" + value + "\"}";
}

std::string text_frame(const std::string &payload, bool fin = true)
{
    return client_frame(fin ? 0x81 : 0x01, payload);
}

std::string continuation(const std::string &payload, bool fin)
{
    return client_frame(fin ? 0x80 : 0x00, payload);
}

// The payload as one message in `count` fragments of nearly equal size.
std::string fragmented(const std::string &payload, size_t count)
{
    std::string frames;
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t end = payload.size() * (i + 1) / count;
        std::string piece = payload.substr(at, end - at);
        frames += i == 0 ? text_frame(piece, count == 1) : continuation(piece, i + 1 == count);
        at = end;
    }
    return frames;
}

// The header alone of a masked frame announcing `length` bytes.
std::string header_of(unsigned char first_byte, uint64_t length)
{
    std::string header(1, static_cast<char>(first_byte));
    header += '\xFF';
    for (int shift = 56; shift >= 0; shift -= 8)
        header += static_cast<char>((length >> shift) & 0xFF);
    return header + "mask";
}

// An update padded with blanks, which JSON allows, to exactly `size` bytes.
std::string update_of_size(const std::string &value, size_t size)
{
    std::string text = update(value);
    return text + std::string(size - text.size(), ' ');
}

std::string pong(const std::string &payload)
{
    return std::string("\x8A", 1) + static_cast<char>(payload.size()) + payload;
}

std::string close_answer(unsigned code)
{
    return std::string("\x88\x02", 2) + static_cast<char>(code >> 8) + static_cast<char>(code & 0xFF);
}

std::vector<std::string> in_reads_of(const std::string &bytes, size_t size)
{
    std::vector<std::string> reads;
    for (size_t at = 0; at < bytes.size(); at += size)
        reads.push_back(bytes.substr(at, size));
    return reads;
}

const std::string FIRST_HALF = "{\"key\":\"1234.las", SECOND_HALF = "tprice\",\"value\":\"";

struct AssemblyCase {
    const char *name;
    std::vector<std::string> (*reads)();  // built when the row runs: some are 16 MiB
    const char *lastprice;                // the value afterwards; null: none
    std::string answer;                   // everything the client is sent
    const char *line4;                    // how status line 4 begins
};

const AssemblyCase ASSEMBLY_CASES[] = {
    {"OneFrame", [] { return std::vector<std::string>{text_frame(update("1"))}; }, "1", "", ""},
    {"TwoFragments", [] { return std::vector<std::string>{fragmented(update("2"), 2)}; }, "2", "", ""},
    {"HundredFragments", [] { return std::vector<std::string>{fragmented(update_of_size("3", 150), 100)}; },
     "3", "", ""},
    {"EmptyFirstAndLastFragments",
     [] {
         return std::vector<std::string>{text_frame("", false) + continuation(update("4"), false) +
                                         continuation("", true)};
     },
     "4", "", ""},
    {"PingBetweenFragmentsAnsweredAtOnce",
     [] {
         return std::vector<std::string>{text_frame(FIRST_HALF, false) + client_frame(0x89, "hb"),
                                         continuation(SECOND_HALF + "5\"}", true)};
     },
     "5", pong("hb"), ""},
    {"PongBetweenFragmentsPassedOver",
     [] {
         return std::vector<std::string>{text_frame(FIRST_HALF, false) + client_frame(0x8A, "") +
                                         continuation(SECOND_HALF + "6\"}", true)};
     },
     "6", "", ""},
    {"CloseBetweenFragmentsEndsTheMessage",
     [] {
         return std::vector<std::string>{text_frame(FIRST_HALF, false) + client_frame(0x88, "\x03\xE8") +
                                         continuation(SECOND_HALF + "7\"}", true)};
     },
     nullptr, close_answer(1000), ""},
    {"FragmentsSplitAcrossReads",
     [] {
         return in_reads_of(text_frame(update("8"), true) + text_frame(FIRST_HALF, false) +
                                client_frame(0x89, "hb") + continuation(SECOND_HALF + "9\"}", true),
                            3);
     },
     "9", pong("hb"), ""},
    {"MessagesAroundAFragmentedOneInOneRead",
     [] {
         return std::vector<std::string>{text_frame(update("a")) + fragmented(update("b"), 3) +
                                         text_frame(update("c"))};
     },
     "c", "", ""},
    {"AMebibyteInThreeFragments",
     [] { return std::vector<std::string>{fragmented(update_of_size("m", 1 << 20), 3)}; }, "m", "", ""},
    {"Exactly16MiB", [] { return std::vector<std::string>{text_frame(update_of_size("16", MESSAGE_MAX))}; },
     "16", "", ""},
    {"Fragments16MiBTogether",
     [] {
         std::string payload = update_of_size("f16", MESSAGE_MAX);
         return std::vector<std::string>{fragmented(payload, 2)};
     },
     "f16", "", ""},
    {"OneByteOver16MiB", [] { return std::vector<std::string>{header_of(0x81, MESSAGE_MAX + 1)}; }, nullptr,
     close_answer(1009), "Message too big: 16777217 bytes"},
    {"FragmentsOneByteOver16MiB",
     [] {
         return std::vector<std::string>{text_frame(std::string(MESSAGE_MAX / 2, ' '), false),
                                         header_of(0x80, MESSAGE_MAX / 2 + 1)};
     },
     nullptr, close_answer(1009), "Message too big: 16777217 bytes"},
    {"ContinuationWithoutAMessage", [] { return std::vector<std::string>{continuation(update("x"), true)}; },
     nullptr, close_answer(1002), "Protocol error: continuation frame without a message"},
    {"TextFrameInsideAMessage",
     [] { return std::vector<std::string>{text_frame(FIRST_HALF, false) + text_frame(update("x"))}; },
     nullptr, close_answer(1002), "Protocol error: text frame inside a message"},
    {"BinaryMessage", [] { return std::vector<std::string>{client_frame(0x82, update("x"))}; }, nullptr,
     close_answer(1003), "Binary message refused"},
    {"FragmentedBinaryMessage", [] { return std::vector<std::string>{client_frame(0x02, update("x"))}; },
     nullptr, close_answer(1003), "Binary message refused"},
    {"BinaryFrameInsideAMessage",
     [] { return std::vector<std::string>{text_frame(FIRST_HALF, false) + client_frame(0x82, "x")}; },
     nullptr, close_answer(1002), "Protocol error: binary frame inside a message"},
    {"ReservedDataOpcode", [] { return std::vector<std::string>{client_frame(0x83, update("x"))}; }, nullptr,
     close_answer(1002), "Protocol error: reserved data opcode 3"},
    {"ReservedControlOpcode", [] { return std::vector<std::string>{client_frame(0x8B, "")}; }, nullptr,
     close_answer(1002), "Protocol error: reserved control opcode 11"},
    {"ReservedBitSet", [] { return std::vector<std::string>{client_frame(0xC1, update("x"))}; }, nullptr,
     close_answer(1002), "Protocol error: reserved bits set"},
    {"FragmentedPing", [] { return std::vector<std::string>{client_frame(0x09, "hb")}; }, nullptr,
     close_answer(1002), "Protocol error: control frame fragmented"},
    {"PingOf126Bytes", [] { return std::vector<std::string>{client_frame(0x89, std::string(126, 'p'))}; },
     nullptr, close_answer(1002), "Protocol error: control frame fragmented or of 126 bytes"},
};

// The close code the answer ends with, or 0 when it ends with no close frame.
unsigned closing_code(const std::string &answer)
{
    size_t n = answer.size();
    if (n < 4 || answer.compare(n - 4, 2, "\x88\x02") != 0)
        return 0;
    return static_cast<unsigned char>(answer[n - 2]) << 8 | static_cast<unsigned char>(answer[n - 1]);
}

class MessageAssembly : public ProgramTest, public testing::WithParamInterface<AssemblyCase> {};

}  // namespace

TEST_P(MessageAssembly, WhatTheCellAndTheClientSee)
{
    const AssemblyCase &c = GetParam();
    ASSERT_TRUE(start_program());
    HCONV sheet = standin::connect("Quellvarden", "Quote");
    ASSERT_TRUE(standin::advise(sheet, "1234.lastprice", CF_TEXT));
    SOCKET client = handshaken_feed_client();
    for (const std::string &bytes : c.reads())
        feed_client_sends(client, bytes);

    const char *value = find_field(find_instrument(1234), "lastprice")->value;
    if (c.lastprice) {
        EXPECT_STREQ(value, c.lastprice);
    } else {
        EXPECT_EQ(value, nullptr);
    }
    EXPECT_TRUE(standin::socket_state(client).sent == c.answer);
    EXPECT_EQ(status_line(4).rfind(c.line4, 0), 0u) << status_line(4);
    // A refused frame is logged with the code it is closed with; a message
    // too large as an update refused, by its size.
    std::vector<std::string> events = logged_events();
    auto logged = [&](const std::string &text) {
        return std::find(events.begin(), events.end(), text) != events.end();
    };
    if (*c.line4 && closing_code(c.answer)) {
        EXPECT_TRUE(logged("Frame refused, closing with code " + std::to_string(closing_code(c.answer)) +
                           ": " + status_line(4)))
            << testing::PrintToString(events);
    }
    EXPECT_EQ(logged("Update refused: message of 17 MiB over the limit"), c.answer == close_answer(1009));
    bool closing = c.answer.size() >= 4 && c.answer.compare(c.answer.size() - 4, 2, "\x88\x02") == 0;
    EXPECT_EQ(feed_client.state, closing ? FEED_CLOSING : FEED_OPEN);
    // Whatever came, nothing large is held on to afterwards.
    EXPECT_LE(feed_client.receive_capacity, RECEIVE_KEEP);
}

INSTANTIATE_TEST_SUITE_P(Messages, MessageAssembly, testing::ValuesIn(ASSEMBLY_CASES),
                         [](const testing::TestParamInfo<AssemblyCase> &info) { return info.param.name; });

class ReceiveBuffer : public ProgramTest {
protected:
    void SetUp() override
    {
        ProgramTest::SetUp();
        ASSERT_TRUE(start_program());
        ASSERT_TRUE(standin::advise(standin::connect("Quellvarden", "Quote"), "1234.lastprice", CF_TEXT));
        client = handshaken_feed_client();
    }
    SOCKET client = INVALID_SOCKET;
};

// A batch a little larger than the record's own bytes grows the buffer once
// and keeps it for the next; a message over RECEIVE_KEEP is given back as
// soon as it is applied, and so is any heap block when the client goes.
TEST_F(ReceiveBuffer, GrowsForABatchAndGivesALargeMessageBack)
{
    std::string batch = text_frame(update_of_size("b1", 40000));
    feed_client_sends(client, batch);
    EXPECT_STREQ(find_field(find_instrument(1234), "lastprice")->value, "b1");
    const char *kept = feed_client.receive_buffer;
    uint64_t capacity = feed_client.receive_capacity;
    EXPECT_NE(kept, feed_client.receive_inline);
    EXPECT_GE(capacity, 40000u);
    feed_client_sends(client, text_frame(update_of_size("b2", 40000)));
    EXPECT_STREQ(find_field(find_instrument(1234), "lastprice")->value, "b2");
    EXPECT_EQ(feed_client.receive_buffer, kept);
    EXPECT_EQ(feed_client.receive_capacity, capacity);

    feed_client_sends(client, fragmented(update_of_size("large", 3 << 20), 5) + text_frame(update("after")));
    EXPECT_STREQ(find_field(find_instrument(1234), "lastprice")->value, "after");
    EXPECT_EQ(feed_client.receive_buffer, feed_client.receive_inline);
    EXPECT_EQ(feed_client.receive_capacity, FEED_BUFFER_SIZE);

    feed_client_sends(client, batch.substr(0, 20000));
    EXPECT_NE(feed_client.receive_buffer, feed_client.receive_inline);
    socket_event(client, FD_CLOSE);
    EXPECT_EQ(feed_client.receive_buffer, feed_client.receive_inline);
    EXPECT_EQ(feed_client.message_length, 0u);
    EXPECT_FALSE(feed_client.message_open);
}

// A message begun by one client is no part of the next client's.
TEST_F(ReceiveBuffer, AMessageBegunDiesWithItsConnection)
{
    feed_client_sends(client, text_frame(FIRST_HALF, false));
    socket_event(client, FD_CLOSE);
    SOCKET next = handshaken_feed_client();
    feed_client_sends(next, continuation(SECOND_HALF + "1\"}", true));
    EXPECT_EQ(find_field(find_instrument(1234), "lastprice")->value, nullptr);
    EXPECT_EQ(standin::socket_state(next).sent, close_answer(1002));
}
