"""The feed face of vantrel.exe under Wine: feed clients on 127.0.0.1:8902,
built on the websockets library or, where a test needs to shape the bytes
itself, on a plain socket; ddewatch.exe plays the spreadsheet whose cells
link to the items.

    /usr/bin/python3 -m pytest tests/e2e/test_feed_link.py -v

Every test runs its feed clients in one asyncio scenario with a hard limit,
and every wait inside it has a limit of its own, so a program that stops
answering fails the test instead of hanging it. The clients are closed when
the scenario ends, however it ends; the fixtures close the program and
ddewatch.
"""

import asyncio
import struct
import subprocess
import time

import pytest

from harness.cells import BLANK, ddewatch, finished, link, values_seen, watch
from harness.feed import (OP_PING, OP_PONG, OP_TEXT, STEP, RawFeed, accept_value, close_answer, close_frame,
                          frame, library_client, new_key, next_client, next_message, request_head,
                          request_text, response_head, run, text_frame, update_frame, update_text,
                          within)
from harness.wine import DDE_NO_DATA, DDE_OK, FEED_PORT, parse_watch_lines


def split_frame(item, value, at):
    """The writes of one update frame cut at byte `at`."""
    whole = update_frame(item, value)
    return [[whole[:at]], [whole[at:]]]


# ---------------------------------------------------------------------------
# One value's road: request out, update in, cell updated


def test_linked_cell_gets_value_from_feed_client(vantrel, wine):
    async def scenario():
        async with library_client() as ws:
            cell = watch(wine, "--count", 2, "1234.lastprice")
            # The registry was empty: the link's request is the first message.
            assert await next_message(ws) == request_text("1234.lastprice")
            await values_seen(cell, 1)
            await ws.send(update_text("1234.lastprice", "12.5"))
            result = await finished(cell)
        assert result.returncode == DDE_OK, result
        # 12.5 travels as an XlTable number, which ddewatch prints unquoted.
        assert result.values == [("1234.lastprice", BLANK["xltable"]), ("1234.lastprice", "12.5")], result
    run(scenario(), 90)


# How the program reads updates. Each case gets a cell of its own on item
# k; its frames are written as listed (one write per inner list), then an
# update to "end" closes the case, so a message that must change nothing
# would show as a value before "end". Listed: the cell's values after its
# blank and before "end".
UPDATE_CASES = [
    ("number", lambda k: [[update_frame(k, "12.5")]], ["12.5"]),
    ("number-after-blanks", lambda k: [[update_frame(k, "  42")]], ["42"]),
    ("number-and-blank-is-text", lambda k: [[update_frame(k, "12.5 ")]], ['"12.5 "']),
    ("text", lambda k: [[update_frame(k, "n/a")]], ['"n/a"']),
    ("quoted-null-clears",
     lambda k: [[update_frame(k, "12.5")], [update_frame(k, "null")]], ["12.5", BLANK["xltable"]]),
    ("null-clears",
     lambda k: [[update_frame(k, "12.5")], [text_frame('{"key":"%s","value":null}' % k)]],
     ["12.5", BLANK["xltable"]]),
    ("number-last", lambda k: [[text_frame('{"key":"%s","value":12.5}' % k)]], ["12.5"]),
    ("number-first", lambda k: [[text_frame('{"value":12.5,"key":"%s"}' % k)]], ["12.5"]),
    ("empty-value", lambda k: [[text_frame('{"key":"%s","value":""}' % k)]], []),
    ("value-member-first", lambda k: [[text_frame('{"value":"7","key":"%s"}' % k)]], ["7"]),
    ("utf8-becomes-ansi", lambda k: [[text_frame('{"key":"%s","value":"caf\u00e9 \u20ac5"}' % k)]],
     ['"caf\u00e9 \u20ac5"']),
    ("ansi-bytes-kept",
     lambda k: [[text_frame(('{"key":"%s","value":"caf\u00e9"}' % k).encode("cp1252"))]], ['"caf\u00e9"']),
    ("unmasked-frame", lambda k: [[text_frame(update_text(k, "9"), mask=False)]], ["9"]),
    ("two-frames-in-one-write", lambda k: [[update_frame(k, "1"), update_frame(k, "2")]], ["1", "2"]),
    ("frame-split-after-first-byte", lambda k: split_frame(k, "3", 1), ["3"]),
    ("frame-split-in-mask-key", lambda k: split_frame(k, "4", 4), ["4"]),
    ("frame-split-in-payload", lambda k: split_frame(k, "5", 20), ["5"]),
    ("length-code-126",
     lambda k: [[text_frame('{"key":"%s","pad":"%s","value":"8"}' % (k, "x" * 150))]], ["8"]),
    ("unknown-field", lambda k: [[update_frame(k.split(".")[0] + ".other", "1")]], []),
    ("key-without-dot", lambda k: [[update_frame(k.split(".")[0], "1")]], []),
]


def test_update_messages(vantrel, wine):
    items = ["%d.last" % (301 + n) for n in range(len(UPDATE_CASES))]
    expected = {item: [BLANK["xltable"]] + case[2] + ['"end"'] for item, case in zip(items, UPDATE_CASES)}

    async def scenario():
        feed = await RawFeed.opened()
        try:
            cells = watch(wine, "--count", sum(len(v) for v in expected.values()), *items, timeout=30)
            assert [await feed.next_text() for _ in items] == [request_text(i) for i in items]
            # Every cell shows its blank before the feed client answers.
            deadline = time.monotonic() + STEP
            while {item for item, _ in parse_watch_lines(cells.output())} != set(items):
                assert cells.running() and time.monotonic() < deadline, cells.result()
                await asyncio.sleep(0.05)
            for item, (_, writes, _) in zip(items, UPDATE_CASES):
                await feed.send(*[b"".join(w) for w in writes(item)], pause=0.2)
                await feed.send(update_frame(item, "end"))
            result = await finished(cells)
        finally:
            await feed.close()
        got = {item: [v for i, v in result.values if i == item] for item in items}
        wrong = ["%s (%s): %r, expected %r" % (case[0], item, got[item], expected[item])
                 for item, case in zip(items, UPDATE_CASES) if got[item] != expected[item]]
        assert not wrong, "\n".join(wrong) + "\n%s" % result
        assert result.returncode == DDE_OK, result
    run(scenario(), 120)


def test_burst_of_updates_larger_than_receive_buffer(vantrel, wine):
    # 3000 updates of varied length in one write, many times the receive
    # buffer, so that frames straddle its reads; the last value is stored.
    def value(n):
        return "%d.%s" % (n, "5" * (n % 60))

    def update(n):
        pad = ',"pad":"%s"' % ("x" * 120) if n % 7 == 0 else ""
        return text_frame('{"key":"71.bid","value":"%s"%s}' % (value(n), pad))

    burst = b"".join(update(n) for n in range(1, 3001))
    assert len(burst) > 10 * 10248

    async def scenario():
        feed = await RawFeed.opened()
        try:
            # 72.bid's update follows the burst: once it has reached its
            # cell, the burst has been read.
            cell = watch(wine, "--count", 2, "71.bid")
            assert await feed.next_text() == request_text("71.bid")
            await values_seen(cell, 1)
            marker = watch(wine, "--count", 2, "72.bid")
            assert await feed.next_text() == request_text("72.bid")
            await values_seen(marker, 1)
            await feed.send(burst, update_frame("72.bid", "done"))
            result = await finished(marker)
            assert result.values == [("72.bid", BLANK["xltable"]), ("72.bid", '"done"')], result
            stored = await ddewatch(wine, "--request", "--format", "text", "71.bid")
            await finished(cell)
        finally:
            await feed.close()
        assert stored.values == [("71.bid", value(3000))], stored
    run(scenario(), 90)


def test_every_cell_on_an_item_updates_and_quoted_null_clears(vantrel, wine):
    async def scenario():
        async with library_client() as ws:
            xltable = watch(wine, "--count", 3, "77.bid")
            assert await next_message(ws) == request_text("77.bid")
            await values_seen(xltable, 1)
            text = watch(wine, "--format", "text", "--count", 3, "77.bid")
            await values_seen(text, 1)
            # The second cell asked for nothing: the next request is for
            # the next new field.
            await link(wine, "78.bid")
            assert await next_message(ws) == request_text("78.bid")
            await ws.send(update_text("77.bid", "12.5"))
            await values_seen(xltable, 2)
            await values_seen(text, 2)
            await ws.send(update_text("77.bid", "null"))
            results = [await finished(xltable), await finished(text)]
            request = await ddewatch(wine, "--request", "--format", "text", "77.bid")
        for result, fmt in zip(results, ["xltable", "text"]):
            assert result.returncode == DDE_OK, result
            assert result.values == [("77.bid", BLANK[fmt]), ("77.bid", "12.5"),
                                     ("77.bid", BLANK[fmt])], result
        assert request.values == [("77.bid", BLANK["text"])], request
    run(scenario(), 120)


# ---------------------------------------------------------------------------
# Connections


def test_reconnect_replays_every_field_in_registry_order(vantrel, wine):
    # Instruments in the order of their first link, and within each its
    # fields in the order of their first link.
    first_links = ["5.bid", "3.ask", "5.ask"]
    second_links = ["9.last", "3.bid", "5.bid", "3.ask"]
    live = ["5.bid", "3.ask", "5.ask", "9.last", "3.bid"]
    registry = ["5.bid", "5.ask", "3.ask", "3.bid", "9.last"]

    async def scenario():
        async with library_client() as ws:
            await link(wine, *first_links)
            await link(wine, *second_links)
            # A leading zero would not survive the replay, which rebuilds
            # the item from the number: such a link is refused.
            refused = await ddewatch(wine, "--count", 1, "007.close")
            assert refused.returncode == DDE_NO_DATA, refused
            assert refused.values == [("007.close", "no data")], refused
            assert [await next_message(ws) for _ in live] == [request_text(i) for i in live]
            await ws.send(update_text("5.bid", "1.5"))
        # The fields outlive their links and the connection, values included.
        async with library_client() as ws:
            assert [await next_message(ws) for _ in registry] == [request_text(i) for i in registry]
            cell = watch(wine, "--count", 2, "11.sentinel")
            assert await next_message(ws) == request_text("11.sentinel")
            await values_seen(cell, 1)
            await ws.send(update_text("11.sentinel", "4"))
            result = await finished(cell)
            stored = await ddewatch(wine, "--request", "5.bid", "3.ask")
        assert result.values == [("11.sentinel", BLANK["xltable"]), ("11.sentinel", "4")], result
        assert stored.values == [("5.bid", "1.5"), ("3.ask", BLANK["xltable"])], stored
    run(scenario(), 120)


@pytest.mark.parametrize("first_state", ["handshaking", "open"])
def test_second_client_is_closed_at_once(vantrel, wine, first_state):
    async def scenario():
        first = await RawFeed.connect()
        try:
            key = new_key()
            head = request_head(key)
            if first_state == "open":
                await first.handshake(key)
            else:
                await first.send(head[:40])
            second = await RawFeed.connect()
            try:
                await second.send(request_head(new_key()))
                assert await second.closed_by_program() == b"", "the second client got an answer"
            finally:
                await second.close()
            if first_state == "handshaking":
                await first.send(head[40:])
                assert await first.read_head() == response_head(key)
            # The first client goes on.
            cell = watch(wine, "--count", 2, "21.bid")
            assert await first.next_text() == request_text("21.bid")
            await values_seen(cell, 1)
            await first.send(update_frame("21.bid", "3"))
            result = await finished(cell)
            assert result.values == [("21.bid", BLANK["xltable"]), ("21.bid", "3")], result
            await first.send(close_frame())
            assert await first.closed_by_program() == close_answer(1000)
        finally:
            await first.close()
        # The listener still accepts: the next client gets the registry.
        async with library_client() as ws:
            assert await next_message(ws) == request_text("21.bid")
    run(scenario(), 120)


# How the feed client leaves: its updates up to then reach the cell, and the
# next client connects. A close frame is not answered: the program just
# closes the connection, so the next client is accepted at its first try.
@pytest.mark.parametrize("ending", ["close-frame", "update-and-close-in-one-write", "socket-closed"])
def test_client_leaves_and_next_one_connects(vantrel, wine, ending):
    async def scenario():
        cell = watch(wine, "--count", 3, "31.bid")
        # Linked before the client comes: the request comes by the replay.
        await values_seen(cell, 1)
        first = await RawFeed.opened()
        try:
            assert await first.next_text() == request_text("31.bid")
            if ending == "close-frame":
                await first.send(update_frame("31.bid", "1"), close_frame(), pause=0.2)
            elif ending == "update-and-close-in-one-write":
                await first.send(update_frame("31.bid", "1") + close_frame())
            else:
                await first.send(update_frame("31.bid", "1"))
                await values_seen(cell, 2)
            if ending != "socket-closed":
                # The close is answered, and then the program's side ends.
                assert await first.closed_by_program() == close_answer(1000)
        finally:
            await first.close()
        second = await next_client(first_try=ending != "socket-closed")
        try:
            assert await second.next_text() == request_text("31.bid")
            await second.send(update_frame("31.bid", "2"))
            result = await finished(cell)
        finally:
            await second.close()
        assert result.values == [("31.bid", BLANK["xltable"]), ("31.bid", "1"), ("31.bid", "2")], result
    run(scenario(), 90)


@pytest.mark.parametrize("payload", [b"", b"are you there?", bytes(range(125))],
                         ids=["empty", "text", "125-bytes"])
def test_ping_gets_pong_with_its_payload(vantrel, wine, payload):
    async def scenario():
        feed = await RawFeed.opened()
        try:
            cell = watch(wine, "--count", 3, "41.bid")
            assert await feed.next_text() == request_text("41.bid")
            await values_seen(cell, 1)
            # A ping between two updates, all in one write; then a pong,
            # which nothing answers.
            await feed.send(update_frame("41.bid", "1") + frame(OP_PING, payload)
                            + update_frame("41.bid", "2"))
            assert await feed.read_frame() == (0x80 | OP_PONG, payload)
            await feed.send(frame(OP_PONG, b"unasked"))
            await link(wine, "42.bid")
            assert await feed.next_text() == request_text("42.bid")
            result = await finished(cell)
        finally:
            await feed.close()
        assert result.values == [("41.bid", BLANK["xltable"]), ("41.bid", "1"), ("41.bid", "2")], result
    run(scenario(), 90)


# A message over 16 MiB is refused as soon as its header arrives: the
# program ends the connection rather than read it, whatever length the
# header claims, and the next client connects.
@pytest.mark.parametrize("header", [
    bytes([0x81, 0x80 | 127]) + struct.pack("!Q", (16 << 20) + 1) + b"mask",
    bytes([0x81, 0x80 | 127]) + struct.pack("!Q", 2 ** 64 - 1) + b"mask",
], ids=["16-MiB-and-1-byte", "2**64-1-bytes"])
def test_message_over_the_limit_ends_connection(vantrel, wine, header):
    async def scenario():
        await link(wine, "45.bid")
        feed = await RawFeed.opened()
        try:
            assert await feed.next_text() == request_text("45.bid")
            await feed.send_message_over_the_limit(header)
        finally:
            await feed.close()
        second = await next_client(first_try=True)
        try:
            assert await second.next_text() == request_text("45.bid")
        finally:
            await second.close()
    run(scenario(), 60)


def test_client_that_pings_every_second_stays_connected(vantrel, wine):
    minute, every = 60, 10
    values = [str(n) for n in range(every, minute + 1, every)]

    async def scenario():
        # The library closes the connection when a pong is 2 s late.
        async with library_client(ping_interval=1, ping_timeout=2) as ws:
            cell = watch(wine, "--count", 1 + len(values), "51.bid", timeout=minute + 60)
            assert await next_message(ws) == request_text("51.bid")
            await values_seen(cell, 1)
            started = time.monotonic()
            sent = 0
            while sent < len(values):
                await asyncio.sleep(1)
                assert ws.open, "connection closed after %.0f s: code %s %r" % (
                    time.monotonic() - started, ws.close_code, ws.close_reason)
                if time.monotonic() - started >= every * (sent + 1):
                    await ws.send(update_text("51.bid", values[sent]))
                    sent += 1
            assert ws.latency > 0, "no pong has come"
            await within(await ws.ping(b"last"), "pong to the last ping")
            result = await finished(cell)
        assert result.values == [("51.bid", BLANK["xltable"])] + [("51.bid", v) for v in values], result
    run(scenario(), 150)


# ---------------------------------------------------------------------------
# Many fields, slow readers


def send_queue_bytes():
    """Bytes queued in the program's sockets on port 8902 (ss's Send-Q)."""
    try:
        out = subprocess.run(["ss", "-Htn", "state", "established", "( sport = :%d )" % FEED_PORT],
                             capture_output=True, text=True, timeout=10).stdout
    except (OSError, subprocess.TimeoutExpired):
        return None
    return sum(int(line.split()[1]) for line in out.splitlines() if line.strip())


def texts_of(frames):
    return [payload.decode("cp1252") for b0, payload in frames if b0 == 0x80 | OP_TEXT]


def test_ten_thousand_fields_reach_slow_readers_once_in_order(vantrel, wine, tmp_path, capsys):
    # 100 instruments of 100 fields, linked in 10 batches of 1000 items,
    # each batch 10 more fields of every instrument: so the order of the
    # links differs from the registry's.
    instruments = range(1001, 1101)
    batches = [["%d.fld%02d" % (ins, f) for ins in instruments for f in range(b * 10, b * 10 + 10)]
               for b in range(10)]
    linked = [item for batch in batches for item in batch]
    registry = ["%d.fld%02d" % (ins, f) for ins in instruments for f in range(100)]
    pings = [b"ping %d" % n for n in range(3)]
    times = {}

    def same_sequence(got, want, what):
        if got == want:
            return
        first = next((i for i, (g, w) in enumerate(zip(got, want)) if g != w), min(len(got), len(want)))
        pytest.fail("%s: %d messages, %d distinct, expected %d; first difference at %d: %r instead of %r"
                    % (what, len(got), len(set(got)), len(want), first,
                       got[first] if first < len(got) else None, want[first] if first < len(want) else None))

    async def scenario():
        # A client that reads nothing while the first three batches link,
        # then reads slowly.
        live = await RawFeed.opened(slow=True)
        live.stop_reading()
        reading = None
        try:
            started = time.monotonic()
            for n, batch in enumerate(batches):
                items_file = tmp_path / ("batch%d.txt" % n)
                items_file.write_text("".join(item + "\n" for item in batch))
                result = await ddewatch(wine, "--format", "text", "--items-from", items_file,
                                        "--stop-after-first", timeout=120)
                assert result.returncode == DDE_OK and len(result.values) == len(batch), result
                if n == 2:
                    times["queued while linking"] = send_queue_bytes()
                    reading = asyncio.create_task(live.slow_frames(len(linked)))
            times["link"] = time.monotonic() - started
            got = texts_of(await within(reading, "live requests", 300))
            times["live"] = time.monotonic() - started
            same_sequence(got, [request_text(i) for i in linked], "requests while linking")
            await live.send(close_frame())
            await live.closed_by_program()
        finally:
            if reading and not reading.done():
                reading.cancel()
            await live.close()

        # A client that leaves with its replay still queued: what it did
        # not read must not reach the next client.
        gone = await RawFeed.connect(slow=True)
        try:
            await gone.send(request_head(new_key()))
            gone.stop_reading()
            await asyncio.sleep(1)
            await gone.send(close_frame())
            gone.writer.transport.resume_reading()
            await gone.closed_by_program()
        finally:
            await gone.close()

        # A slow reader: it reads nothing for 2 s, not even the 101
        # response, while the program has the whole registry to send; its
        # pings and an update go in meanwhile. Then it reads slowly.
        cell = watch(wine, "--count", 2, "1001.fld00")
        await values_seen(cell, 1)
        slow = await RawFeed.connect(slow=True)
        try:
            started = time.monotonic()
            key = new_key()
            await slow.send(request_head(key))
            slow.stop_reading()
            await asyncio.sleep(1)
            for ping in pings:
                await slow.send(frame(OP_PING, ping))
            await slow.send(update_frame("1001.fld00", "7"))
            result = await finished(cell)
            assert result.values == [("1001.fld00", BLANK["xltable"]), ("1001.fld00", "7")], result
            await asyncio.sleep(1)
            times["queued by the replay"] = send_queue_bytes()
            slow.writer.transport.resume_reading()
            assert await slow.read_head() == response_head(key)
            frames = await slow.slow_frames(len(registry) + len(pings))
            times["slow replay"] = time.monotonic() - started
            same_sequence(texts_of(frames), [request_text(i) for i in registry], "replay to a slow reader")
            assert [p for b0, p in frames if b0 == 0x80 | OP_PONG] == pings
            # Nothing more was queued, and the connection still works.
            cell = watch(wine, "--count", 2, "1.sentinel")
            assert await slow.next_text() == request_text("1.sentinel")
            await values_seen(cell, 1)
            await slow.send(update_frame("1.sentinel", "99"))
            result = await finished(cell)
            assert result.values == [("1.sentinel", BLANK["xltable"]), ("1.sentinel", "99")], result
            await slow.send(close_frame())
            await slow.closed_by_program()
        finally:
            await slow.close()

        # The same replay to a library client that reads as fast as it can.
        started = time.monotonic()
        async with library_client() as ws:
            want = [request_text(i) for i in registry + ["1.sentinel"]]
            got = [await next_message(ws) for _ in want]
            times["fast replay"] = time.monotonic() - started
            same_sequence(got, want, "replay to a fast reader")

    run(scenario(), 600)
    with capsys.disabled():
        print("\n10,000 fields: linked in %.1f s; live requests all read %.1f s after the first link; "
              "replay to the slow reader %.1f s (2 s of it waiting), to the fast one %.1f s; bytes "
              "waiting in the program's socket: %s while linking, %s during the replay"
              % (times["link"], times["live"], times["slow replay"], times["fast replay"],
                 times["queued while linking"], times["queued by the replay"]))


# ---------------------------------------------------------------------------
# Opening handshake


def by_lines(head):
    return [line + b"\n" for line in head.split(b"\n")[:-1]]


def around_key(head):
    cut = head.index(b"Key: ") + 10
    return [head[:cut], head[cut:]]


# The sample key of RFC 6455, 1.3, and the accept value printed there.
RFC_KEY, RFC_ACCEPT = "dGhlIHNhbXBsZSBub25jZQ==", "s3pPLMBiTxaQ9kYGzzhZRbK+xOo="


# How the request head is cut into writes, and the pause between them.
@pytest.mark.parametrize("pieces, pause", [
    (lambda head: [head], 0),
    (by_lines, 0.2),
    (lambda head: [head[:-1], head[-1:]], 0.3),
    (around_key, 0.3),
    (lambda head: [head[i:i + 1] for i in range(len(head))], 0.02),
], ids=["one-piece", "line-by-line", "last-line-feed-alone", "key-cut", "byte-by-byte"])
def test_request_head_in_pieces_gets_101(vantrel, wine, pieces, pause):
    assert accept_value(RFC_KEY) == RFC_ACCEPT

    async def scenario():
        feed = await RawFeed.connect()
        try:
            await feed.handshake(RFC_KEY, pieces, pause)
            # The connection is open: the next link's request arrives.
            await link(wine, "61.bid")
            assert await feed.next_text() == request_text("61.bid")
        finally:
            await feed.close()
    run(scenario(), 90)


def full_head(key, ended):
    """A request head of 10248 bytes, the size of the program's receive
    buffer, padded by a long header: `ended` by its blank line, or with the
    last line feeds replaced so that it has none."""
    head = request_head(key)
    head = head[:-2] + b"X-Filler: " + b"a" * (10248 - len(head) - 12) + b"\r\n\r\n"
    assert len(head) == 10248
    return head if ended else head[:-2] + b"aa"


# A head that fits the buffer exactly is waited for; one that fills it with
# no blank line is closed (a web page can send such heads at will: no box).
@pytest.mark.parametrize("ended", [True, False], ids=["ends-at-last-byte", "no-blank-line"])
def test_request_head_filling_the_buffer(vantrel, wine, ended):
    async def scenario():
        key = new_key()
        head = full_head(key, ended)
        feed = await RawFeed.connect()
        try:
            await feed.send(*[head[i:i + 1000] for i in range(0, len(head), 1000)], pause=0.05)
            if ended:
                assert await feed.read_head() == response_head(key)
                await link(wine, "62.bid")
                assert await feed.next_text() == request_text("62.bid")
                await feed.send(close_frame())
            assert await feed.closed_by_program() == (close_answer(1000) if ended else b"")
        finally:
            await feed.close()
        # The next client is welcome.
        second = await next_client(first_try=True)
        try:
            await link(wine, "63.bid")
            expected = ["62.bid", "63.bid"] if ended else ["63.bid"]
            assert [await second.next_text() for _ in expected] == [request_text(i) for i in expected]
        finally:
            await second.close()
    run(scenario(), 90)


# While one client's "INVALD HEADER" box is open (that client already
# closed), the real feed connects, gets its 101 response and its requests,
# and its value reaches a cell; the box is still open afterwards.
def test_feed_is_served_while_a_handshake_box_is_open(vantrel, wine):
    async def scenario():
        bad = await RawFeed.connect()
        try:
            await bad.send(b"GET / HTTP/1.1\r\nX-Bad: a\rb\r\n\r\n")
            box = wine.winctl("msgbox", "--caption", "", "--press", "none")
            assert box.returncode == 0 and box.stdout == "INVALD HEADER\r\n", box
            assert await bad.closed_by_program() == b""
        finally:
            await bad.close()
        cell = watch(wine, "--count", 2, "64.bid", timeout=30)
        await values_seen(cell, 1)
        async with library_client() as ws:
            assert await next_message(ws) == request_text("64.bid")
            await ws.send(update_text("64.bid", "7.5"))
            result = await finished(cell)
        assert result.values == [("64.bid", BLANK["xltable"]), ("64.bid", "7.5")], result
        dismissed = wine.winctl("msgbox", "--caption", "", "--press", "ok")
        assert dismissed.returncode == 0, "the box was no longer open: %s" % dismissed
    run(scenario(), 90)
