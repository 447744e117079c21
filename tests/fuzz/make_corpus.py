#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/<target>/,
replacing files of the same name; other files there (reproducers of fixed
faults, added by hand) are left alone. Each seed is a small input in its target's format
(described at the top of each tests/fuzz/<target>.cpp) that reaches the
function the target is named after, so that fuzzing starts from every opcode
and length form, masked and not, heads with and without Origin, the
feed messages, every DDE transaction type and the number forms.

    /usr/bin/python3 tests/fuzz/make_corpus.py
"""

import struct
from pathlib import Path

CORPUS = Path(__file__).resolve().parent / "corpus"

MASK_KEY = bytes([0x37, 0xFA, 0x21, 0x3D])
SAMPLE_KEY = "dGhlIHNhbXBsZSBub25jZQ=="
# Answers of message boxes, as box_answer numbers them.
OK, CANCEL, YES, NO = 0, 1, 2, 3
BUFFER = 10248  # the feed's receive buffer of its own
MESSAGE_MAX = 16 << 20  # the longest message


def frame(first, payload, masked=True, length_form=None, key=MASK_KEY):
    """A client frame; length_form 7, 16 or 64 forces the length's form."""
    if isinstance(payload, str):
        payload = payload.encode("utf-8")
    n = len(payload)
    form = length_form or (7 if n <= 125 else 16 if n <= 0xFFFF else 64)
    mask = 0x80 if masked else 0
    if form == 7:
        head = bytes([first, mask | n])
    elif form == 16:
        head = bytes([first, mask | 126]) + struct.pack(">H", n)
    else:
        head = bytes([first, mask | 127]) + struct.pack(">Q", n)
    if not masked:
        return head + payload
    return head + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))


def head(key=SAMPLE_KEY, origin=None, extra="", names=None):
    """An upgrade request; names changes the letter case of the header names."""
    lines = ["GET /chat HTTP/1.1", "Host: 127.0.0.1:8902", "Upgrade: websocket", "Connection: Upgrade"]
    if origin is not None:
        lines.append("Origin: " + origin)
    lines.append("Sec-WebSocket-Key: " + key)
    lines.append("Sec-WebSocket-Version: 13")
    if names:
        lines = [lines[0]] + [names(line.split(":", 1)[0]) + ":" + line.split(":", 1)[1] for line in lines[1:]]
    return ("\r\n".join(lines) + "\r\n" + extra + "\r\n").encode()


def update(key, value):
    return '{"key":"%s","value":"%s"}' % (key, value)


def write(target, name, data):
    directory = CORPUS / target
    directory.mkdir(parents=True, exist_ok=True)
    (directory / name).write_bytes(data if isinstance(data, bytes) else data.encode("utf-8"))


# ---- frame_codec_fuzz: byte 0 the capacity choice, then the bytes received.
def frame_codec():
    receive_buffer, no_limit = b"\xfe", b"\xff"
    for opcode in range(16):
        write("frame_codec_fuzz", "opcode_%x" % opcode,
              receive_buffer + frame(0x80 | opcode, update("1234.lastprice", "12.5"), masked=opcode % 2 == 0))
    for form in (7, 16, 64):
        for masked in (True, False):
            name = "length_%d_%s" % (form, "masked" if masked else "unmasked")
            write("frame_codec_fuzz", name, receive_buffer + frame(0x81, "x" * 100, masked, form))
    write("frame_codec_fuzz", "length_16_fills_the_buffer", receive_buffer + frame(0x82, b"\0" * (BUFFER - 8)))
    write("frame_codec_fuzz", "length_16_one_past_the_buffer",
          receive_buffer + frame(0x82, b"\0" * (BUFFER - 7))[:40])
    write("frame_codec_fuzz", "length_64_never_fits", receive_buffer + b"\x81\xff" + struct.pack(">Q", 1 << 40) + MASK_KEY)
    write("frame_codec_fuzz", "length_64_largest", no_limit + b"\x81\x7f" + b"\xff" * 8)
    write("frame_codec_fuzz", "header_cut_in_mask_key", receive_buffer + frame(0x81, "abc")[:4])
    write("frame_codec_fuzz", "payload_cut", receive_buffer + frame(0x81, update("5.bid", "1"))[:-3])
    write("frame_codec_fuzz", "capacity_below_the_header", b"\x0d" + frame(0x89, "p", length_form=64))
    write("frame_codec_fuzz", "one_byte", receive_buffer + b"\x81")


# ---- handshake_fuzz: byte 0 the box answer, then the bytes received.
def handshake():
    def seed(name, data, answer=OK):
        write("handshake_fuzz", name, bytes([answer]) + (data if isinstance(data, bytes) else data.encode()))

    seed("browser", head())
    seed("origin_loopback", head(origin="http://127.0.0.1:8000"))
    seed("origin_localhost", head(origin="http://localhost"), YES)
    seed("origin_ipv6_loopback", head(origin="http://[::1]:3000"), NO)
    seed("origin_null", head(origin="null"), NO)
    seed("origin_web_page_yes", head(origin="https://quotes.example.com"), YES)
    seed("origin_web_page_no", head(origin="https://quotes.example.com"), NO)
    seed("origin_empty", head(origin=""), CANCEL)
    seed("names_in_small_letters", head(names=str.lower))
    seed("names_as_tornado_writes", head(names=lambda n: n.replace("WebSocket", "Websocket")))
    seed("blanks_around_key", head(key="\t " + SAMPLE_KEY + "  "))
    seed("two_keys", head(extra="Sec-WebSocket-Key: x3JJHMbDL1EzLkh9GBhXDw==\r\n"))
    seed("key_of_219", head(key="k" * 219))
    seed("key_of_220", head(key="k" * 220))
    seed("key_empty", head(key=""))
    seed("no_key", "GET / HTTP/1.1\r\nHost: x\r\n\r\n")
    seed("request_line_without_blank", "GET /\r\nSec-WebSocket-Key: abc\r\n\r\n")
    seed("lone_carriage_return", "GET / HTTP/1.1\r\nX: a\rb\r\n\r\n")
    seed("carriage_return_last", head() + b"\r")
    seed("head_in_part", head()[:40])
    seed("bytes_behind_the_head", head() + frame(0x81, update("1234.lastprice", "1")))
    seed("no_blank_line_in_a_full_buffer", "x" * BUFFER)


# ---- feed_client_fuzz: byte 0 the box answer, then records [op][length][bytes].
READ, ROOM, CLOSE, ERROR, TIMER, CONNECT, LINK, BOX = 0, 4, 5, 6, 7, 8, 9, 10


def rec(op, data=b"", length=None):
    if isinstance(data, str):
        data = data.encode("utf-8")
    return bytes([op]) + struct.pack("<H", len(data) if length is None else length) + data


def reads(*pieces):
    return b"".join(rec(READ, piece) for piece in pieces)


def feed_client():
    def seed(name, records, answer=OK):
        write("feed_client_fuzz", name, bytes([answer]) + records)

    hello = head()
    value = frame(0x81, update("1234.lastprice", "12.5"))
    seed("session", reads(hello, value, frame(0x89, "hb"), frame(0x81, update("1234.lastprice", "null")),
                          frame(0x88, b"\x03\xe8")) + rec(CLOSE))
    opcodes = b"".join(frame(0x80 | op, update("5.bid", str(op)), masked=op % 2 == 0)
                       for op in range(16) if op not in (8, 12))
    seed("every_opcode_but_close", reads(hello, opcodes))
    seed("close", reads(hello, value + frame(0x88, b"\x0b\xb8" + b"bye")) + rec(ROOM, length=0xFFFF) + rec(CLOSE))
    seed("reserved_close_opcode", reads(hello, frame(0x8C, b"")) + rec(TIMER))
    forms = b"".join(frame(0x81, update("1234.lastprice", "9" * n), masked, form)
                     for n, form, masked in ((5, 7, True), (5, 16, False), (5, 64, True), (200, 16, True),
                                             (300, 64, False)))
    seed("length_forms", reads(hello, forms))
    seed("binary_message_refused", reads(hello, frame(0x82, b"\0" * (BUFFER - 8))))
    seed("message_over_the_limit", reads(hello, b"\x81\xff" + struct.pack(">Q", MESSAGE_MAX + 1) + MASK_KEY)
         + rec(READ, "late"))
    large = frame(0x81, update("1234.lastprice", "7") + " " * 30000)
    seed("message_past_the_old_buffer", reads(hello, large[:BUFFER + 100], large[BUFFER + 100:], value))
    halves = update("5.bid", "3")
    seed("fragments_with_pings", reads(hello, frame(0x01, halves[:9]) + frame(0x89, "hb"), frame(0x00, halves[9:20]),
                                       frame(0x8a, "") + frame(0x80, halves[20:])))
    seed("close_between_fragments", reads(hello, frame(0x01, halves[:9]) + frame(0x88, b"\x03\xe8")
                                          + frame(0x80, halves[9:])) + rec(CLOSE))
    seed("continuation_without_a_message", reads(hello, frame(0x80, halves)))
    seed("text_inside_a_message", reads(hello, frame(0x01, halves[:9]), frame(0x81, halves)))
    cut = hello + value + frame(0x89, "ping") + value
    seed("pieces", reads(*[cut[i:i + 7] for i in range(0, len(cut), 7)]))
    seed("header_cut_everywhere", reads(hello, value[:1], value[1:2], value[2:5], value[5:], frame(0x81, "x")[:3]))
    seed("origin_loopback", reads(head(origin="http://localhost:8902"), value))
    seed("origin_web_page_allowed", reads(head(origin="https://quotes.example.com"), value), YES)
    seed("origin_web_page_refused", reads(head(origin="https://quotes.example.com"), value), NO)
    seed("origin_null", reads(head(origin="null")) + rec(CLOSE), NO)
    seed("head_and_frames_in_one_read", reads(hello + value))
    seed("no_blank_line_in_a_full_buffer", reads("G" * BUFFER))
    seed("box_while_next_client_comes",
         rec(BOX, length=3) + reads("GET / HTTP/1.1\r\nX: \r?\r\n\r\n") + rec(CLOSE) + reads(hello, value))
    seed("box_then_limit_passes", rec(BOX, length=1) + rec(READ, "GET / HTTP/1.1\r\nX: \r?\r\n\r\n") + rec(TIMER),
         CANCEL)
    seed("slow_reader", rec(ROOM, length=50) + reads(hello) + rec(LINK, "1234.bid") + rec(LINK, "7.ask") + rec(LINK, "77.abc")
         + rec(ROOM, length=40) + rec(ROOM, length=0) + rec(ROOM, length=0xFFFF))
    seed("pongs_to_a_client_that_never_reads",
         reads(hello) + rec(ROOM, length=0) + reads(*[frame(0x89, "p" * 3000)] * 4) + rec(ROOM, length=0xFFFF))
    seed("handshake_limit", reads(hello[:20]) + rec(TIMER) + reads(hello))
    seed("closing_limit", reads(hello, frame(0x88, b"")) + rec(TIMER) + reads(hello))
    seed("second_client_and_reused_handle",
         reads(hello) + rec(CONNECT) + rec(CLOSE) + rec(CONNECT, length=1) + reads(hello, value))
    seed("socket_errors", reads(hello) + rec(ERROR, length=0) + reads(hello) + rec(ERROR, length=1)
         + reads(hello) + rec(ERROR, length=2))
    seed("links_sound_and_not", reads(hello) + rec(LINK, "7.ask") + rec(LINK, "01234.x") + rec(LINK, "1234.a\"b")
         + rec(LINK, "8." + "f" * 97) + reads(frame(0x81, update("7.ask", "1"))))
    seed("empty_reads", reads(hello, b"", value, b""))


# ---- feed_messages_fuzz: byte 0 the mode (0 raw payload, 1 oracle, 3 oracle through a connection), then its input.
def feed_messages():
    raw, oracle, fragmented = bytes([0]), bytes([1]), bytes([3])

    def seed(name, payload, mode=raw):
        if isinstance(payload, str):
            payload = payload.encode("utf-8", "surrogateescape")
        write("feed_messages_fuzz", name, mode + payload)

    seed("update", update("1234.lastprice", "12.5"))
    seed("null", '{"key":"1234.lastprice","value":null}')
    seed("number", '{"value":-3e-2,"key":"5.x"}')
    seed("nan", '{"key":"5.x","value":NaN}')
    seed("escapes", '{"key":"1234.bid","value":"Z\\u00fcrich \\"12\\" \\ud83d\\ude00 \\n"}')
    seed("blanks_around", '{ "key" : "5.x" ,\t"value":\r\n "1.5" }')
    seed("batch", "[" + update("1234.bid", "1") + "," + update("5.a.b", "2") + "]")
    seed("batch_with_a_fault", "[" + update("1234.bid", "1") + ',{"key":"5.x","value":true}]')
    seed("nested_members", '{"m":{"key":"5.x","value":[1,[2]]},"key":"5.x","value":"3"}')
    seed("lone_surrogate", '{"key":"5.x","value":"\\udc00"}')
    seed("not_utf8", update("1234.bid", "caf\udce9"))
    seed("long_value", update("1234.bid", "v" * 1024))
    seed("nul_inside", update("1234.bid", "a") + "\0")
    seed("oracle_one", bytes([0, 1, 3, 5, 0, 65, 7, 0, 66, 1]), oracle)
    seed("oracle_batch", bytes(range(7, 120)), oracle)
    # Through a connection: the updates, then the fragments' count, sizes and
    # choices (masked, a ping behind), then the sizes of the reads.
    seed("fragmented_one", bytes([0, 1, 3, 5, 0, 65, 7, 0, 66, 1]) + bytes([3, 9, 0, 3, 4, 0, 1, 5, 0, 7, 0]),
         fragmented)
    seed("fragmented_batch", bytes(range(7, 120)) + bytes([15] + [3, 0, 6] * 14 + [1, 0] * 40), fragmented)


# ---- dde_service_fuzz: records [type][choices][length][item].
TYPE = {name: i for i, name in enumerate(
    ["ERROR", "ADVDATA", "ADVREQ", "ADVSTART", "ADVSTOP", "EXECUTE", "CONNECT", "CONNECT_CONFIRM",
     "XACT_COMPLETE", "POKE", "REGISTER", "REQUEST", "DISCONNECT", "UNREGISTER", "WILDCONNECT", "MONITOR"])}
XLTABLE, XLTABLE_WINE, TEXT = 0, 1, 2
QUOTE, TIME, OTHER_TOPIC, NO_TOPIC = 0, 4, 8, 12
NO_ITEM = 16


def transaction(kind, item="1234.lastprice", choices=XLTABLE):
    data = item.encode("utf-8", "surrogateescape")
    return bytes([TYPE[kind], choices, len(data)]) + data


def dde_service():
    def seed(name, *records):
        write("dde_service_fuzz", name, b"".join(records))

    seed("link_request_stop", transaction("ADVSTART"), transaction("ADVSTART", choices=TEXT),
         transaction("REQUEST"), transaction("ADVREQ", choices=XLTABLE_WINE), transaction("REQUEST", choices=TEXT),
         transaction("ADVSTOP"), transaction("ADVSTOP", choices=TEXT), transaction("ADVSTOP"),
         transaction("ADVSTART"))
    seed("every_type", *[transaction(kind, "5.bid", TEXT) for kind in TYPE])
    seed("topics_and_missing_handles", transaction("ADVSTART", choices=TIME),
         transaction("ADVSTART", "7.x", OTHER_TOPIC), transaction("ADVSTART", "7.x", NO_TOPIC),
         transaction("ADVSTART", "7.x", NO_ITEM), transaction("REQUEST", choices=OTHER_TOPIC),
         transaction("ADVREQ", choices=NO_ITEM), transaction("ADVSTOP", choices=NO_ITEM | NO_TOPIC))
    unsound = ["abc.price", "0.price", "1234", "1234.", "01234.lastprice", "+1234.lastprice", " 1234.lastprice",
               "18446744073709551616.x", "1234.a\"b", "1234.a\\b", "1234.a\x01", "1234.caf\udce9",
               "1234." + "f" * 95, ""]
    seed("unsound_items", *[transaction(kind, item) for item in unsound for kind in ("ADVSTART", "REQUEST",
                                                                                       "ADVSTOP")])
    seed("time_beside_quote", transaction("ADVSTART", choices=TIME), transaction("ADVSTART", choices=TEXT),
         transaction("ADVREQ", choices=TIME | TEXT), transaction("ADVREQ", choices=TEXT),
         transaction("REQUEST", choices=TIME), transaction("ADVSTOP", choices=TEXT),
         transaction("ADVSTOP", choices=TEXT), transaction("ADVSTOP", choices=TIME))
    seed("item_in_other_letter_case", transaction("ADVSTART"), transaction("ADVREQ", "1234.lastPrice", XLTABLE_WINE),
         transaction("REQUEST", "1234.LASTPRICE", TEXT), transaction("ADVSTART", "1234.LastPrice"),
         transaction("ADVSTOP", "1234.lastPRICE"))
    seed("edge_items", transaction("ADVSTART", "18446744073709551615.x"), transaction("ADVSTART", "1234." + "f" * 94),
         transaction("ADVSTART", "9.a.b"), transaction("ADVSTART", "9.field with blanks"),
         transaction("ADVSTART", "9." + "g" * 25), transaction("REQUEST", "9." + "g" * 25),
         transaction("ADVSTOP", "9." + "g" * 25), transaction("REQUEST", "9.a.b", 3))


# ---- dde_render_fuzz: byte 0 the format choice, then the text.
def dde_render():
    texts = {"number": "12.5", "leading_blanks": "  42", "exponent": "-0.25e2", "hexadecimal": "0x10",
             "hex_float": "0x1p-1074", "trailing_blank": "12.5 ", "comma": "1,5", "text": "n/a", "blank": " ",
             "empty": "", "infinity": "inf", "infinity_word": "-Infinity", "nan": "nan", "nan_payload": "NAN(123)",
             "overflow": "1e999", "underflow": "1e-400", "long_text": "t" * 300, "long_number": "1" * 300}
    for i, (name, text) in enumerate(sorted(texts.items())):
        write("dde_render_fuzz", name, bytes([i % 4 if name != "number" else XLTABLE]) + text.encode())
    write("dde_render_fuzz", "number_as_text", bytes([TEXT]) + b"12.5")


# ---- topic_table_fuzz: records of three bytes (the call and topic ID, the
# table and choices, the value).
CONNECT, DISCONNECT, UPDATE, REFRESH, TERMINATE, RELEASE, NOTIFY, DDE = range(8)


def call(kind, topic=1, table=0, choice=0, fails=False, inside=False, value=1, stop=False):
    return bytes([kind | (8 if stop else 0) | (topic << 4),
                  table | (choice << 1) | (0x20 if fails else 0) | (0x40 if inside else 0), value])


def topic_table():
    def seed(name, *calls):
        write("topic_table_fuzz", name, b"".join(calls))
    seed("connect_update_notify_refresh", call(CONNECT), call(UPDATE), call(NOTIFY), call(REFRESH))
    seed("two_strings_and_bad_items", *[call(CONNECT, topic=i, choice=i) for i in range(16)],
         call(UPDATE, choice=0), call(UPDATE, choice=2), call(REFRESH))
    seed("same_id_again", call(CONNECT, choice=0), call(CONNECT, choice=2), call(UPDATE, choice=0),
         call(UPDATE, choice=1), call(REFRESH), call(CONNECT, choice=8), call(REFRESH))
    seed("two_tables", call(CONNECT, table=0, choice=0), call(CONNECT, table=1, choice=1),
         call(CONNECT, topic=2, table=1, choice=2), call(UPDATE, choice=0), call(NOTIFY), call(REFRESH, table=1),
         call(DISCONNECT, table=1), call(REFRESH, table=0))
    seed("many_changes_one_refresh", call(CONNECT), *[call(UPDATE, value=v) for v in range(8)] * 4,
         call(NOTIFY), call(NOTIFY), call(REFRESH))
    seed("terminate_and_release", call(CONNECT), call(CONNECT, topic=2, choice=3), call(UPDATE),
         call(TERMINATE), call(CONNECT, table=1), call(RELEASE, table=1), call(REFRESH, table=1))
    seed("failed_notify_then_refresh_inside", call(CONNECT), call(UPDATE), call(NOTIFY, fails=True),
         call(NOTIFY, inside=True), call(UPDATE, value=2), call(NOTIFY, inside=True, fails=True), call(NOTIFY))
    seed("dde_and_rtd_on_one_field", call(DDE, choice=0), call(CONNECT, choice=0), call(DDE, choice=0, stop=True),
         call(UPDATE), call(DISCONNECT), call(DDE, choice=5), call(UPDATE, choice=5))


def main():
    frame_codec()
    handshake()
    feed_client()
    feed_messages()
    dde_service()
    dde_render()
    topic_table()


if __name__ == "__main__":
    main()
