"""Faults and hostile peers under Wine. After each, a fresh feed client and
ddewatch.exe prove that the program still serves, with every linked field
and its value intact.

    /usr/bin/python3 -m pytest tests/e2e/test_faults.py -v
"""

import asyncio
import os
import signal
import socket
import struct
import subprocess
import sys
import time

import pytest

from harness.cells import ddewatch, finished, link, values_seen, watch
from harness.feed import (HOST, OP_PING, RawFeed, close_frame, frame, library_client, new_key,
                          next_client, next_message, request_head, request_text, run, update_frame,
                          update_text, within)
from harness.wine import DDE_OK, FEED_PORT

ITEMS = ["101.bid", "101.ask", "102.last"]
VALUES = {"101.bid": "1.5", "101.ask": "1.75", "102.last": "n/a"}


def process_figures(app):
    """Open file descriptors (Wine keeps sockets and files there) and
    resident memory in KiB of the program's Wine process."""
    pid = app.popen.pid
    fds = len(os.listdir("/proc/%d/fd" % pid))
    with open("/proc/%d/status" % pid) as status:
        rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    return fds, rss


async def stored_values(wine):
    """What one-time requests answer for ITEMS, as text."""
    result = await ddewatch(wine, "--request", "--format", "text", *ITEMS)
    return dict(result.values)


async def linked_with_values(wine):
    """ITEMS linked and let go again, each with its value from a first feed
    client, which then closes."""
    await link(wine, *ITEMS)
    feed = await next_client(first_try=False)
    try:
        assert [await feed.next_text() for _ in ITEMS] == [request_text(i) for i in ITEMS]
        await feed.send(b"".join(update_frame(item, VALUES[item]) for item in ITEMS))
        deadline = time.monotonic() + 15
        while await stored_values(wine) != VALUES:
            assert time.monotonic() < deadline, "the values were not stored"
        await feed.send(close_frame())
        await feed.closed_by_program()
    finally:
        await feed.close()


async def prove_intact(wine):
    """A fresh feed client is asked for every field, in order; the cells get
    the values stored before; and a new value still reaches a cell."""
    feed = await next_client(first_try=False)
    try:
        assert [await feed.next_text() for _ in ITEMS] == [request_text(i) for i in ITEMS]
        assert await stored_values(wine) == VALUES
        cell = watch(wine, "--format", "text", "--count", 2, ITEMS[0])
        await values_seen(cell, 1)
        await feed.send(update_frame(ITEMS[0], "9.25"))
        result = await finished(cell)
        assert result.returncode == DDE_OK and result.values[-1] == (ITEMS[0], "9.25"), result
    finally:
        await feed.close()


# ---------------------------------------------------------------------------
# The faults


KILLED_CLIENT = r"""
import os, signal, socket, sys
sock = socket.create_connection(("127.0.0.1", %d))
sock.sendall(sys.stdin.buffer.read())
sock.recv(4096)  # the 101 response and the replay's first bytes
sock.sendall(%r)
os.kill(os.getpid(), signal.SIGKILL)
"""


async def killed_in_the_middle_of_a_frame(wine, app, report):
    whole = update_frame(ITEMS[0], "666")
    child = subprocess.run([sys.executable, "-c", KILLED_CLIENT % (FEED_PORT, whole[:len(whole) // 2])],
                           input=request_head(new_key()), capture_output=True, timeout=30)
    assert child.returncode == -signal.SIGKILL, child


async def announces_a_2_to_the_63_byte_payload(wine, app, report):
    feed = await RawFeed.opened()
    try:
        assert [await feed.next_text() for _ in ITEMS] == [request_text(i) for i in ITEMS]
        await feed.send_message_over_the_limit(bytes([0x81, 0x80 | 127]) + struct.pack("!Q", 2 ** 63) + b"mask")
    finally:
        await feed.close()


async def connects_and_leaves_200_times(wine, app, report):
    figures = {}
    for cycle in range(1, 201):
        feed = await next_client(first_try=False)
        try:
            assert [await feed.next_text() for _ in ITEMS] == [request_text(i) for i in ITEMS]
            if cycle % 2:
                await feed.send(close_frame())
                await feed.closed_by_program()
        finally:
            await feed.close()
        if cycle in (10, 200):
            await asyncio.sleep(1)  # the program has seen the last close
            figures[cycle] = process_figures(app)
    (fds_10, rss_10), (fds_200, rss_200) = figures[10], figures[200]
    report("after 10 and 200 connections: %d and %d open descriptors, VmRSS %d and %d KiB"
           % (fds_10, fds_200, rss_10, rss_200))
    assert fds_200 <= fds_10 + 2, figures
    assert abs(rss_200 - rss_10) <= rss_10 // 10, figures


async def fifty_connect_while_one_is_open(wine, app, report):
    async with library_client() as open_client:
        assert [await next_message(open_client) for _ in ITEMS] == [request_text(i) for i in ITEMS]

        async def refused():
            feed = await RawFeed.connect()
            try:
                try:
                    await feed.send(request_head(new_key()))
                except ConnectionError:
                    return b""
                return await feed.closed_by_program()
            finally:
                await feed.close()
        answers = await within(asyncio.gather(*[refused() for _ in range(50)]), "50 refusals", 60)
        assert answers == [b""] * 50, "a second client got an answer"
        # The open client is undisturbed: its next value reaches a cell.
        cell = watch(wine, "--format", "text", "--count", 2, ITEMS[1])
        await values_seen(cell, 1)
        await open_client.send(update_text(ITEMS[1], VALUES[ITEMS[1]]))
        result = await finished(cell)
        assert result.values[-1] == (ITEMS[1], VALUES[ITEMS[1]]), result


async def pings_and_never_reads(wine, app, report):
    before = process_figures(app)[1]
    feed = await RawFeed.opened(slow=True)
    try:
        assert [await feed.next_text() for _ in ITEMS] == [request_text(i) for i in ITEMS]
        feed.stop_reading()
        # Pongs pile up in the program until 64 MiB wait; then it drops us.
        # 125 bytes are the most a ping may carry.
        ping = frame(OP_PING, b"p" * 125)
        sent = 0
        try:
            while sent < 1000000:
                await feed.send(ping * 400)
                sent += 400
        except (ConnectionError, AssertionError):
            pass
        assert sent < 1000000, "still connected after %d pings of 125 bytes" % sent
    finally:
        await feed.close()
    await asyncio.sleep(1)
    after = process_figures(app)[1]
    report("a client that pings and never reads: dropped after %d pings; VmRSS %d KiB before, %d after"
           % (sent, before, after))
    assert after <= before + before // 10, (before, after)


async def dde_client_ends_without_ending_its_loops(wine, app, report):
    cells = watch(wine, "--format", "text", "--count", 100, *ITEMS)
    await values_seen(cells, len(ITEMS))
    cells.popen.kill()
    cells.popen.wait(10)
    # Values for the vanished client's links are posted all the same.
    async with library_client() as feed:
        assert [await next_message(feed) for _ in ITEMS] == [request_text(i) for i in ITEMS]
        for item in ITEMS:
            await feed.send(update_text(item, VALUES[item]))
        await asyncio.sleep(1)
    assert app.running()


FAULTS = [
    pytest.param(killed_in_the_middle_of_a_frame, id="client-killed-mid-frame"),
    pytest.param(announces_a_2_to_the_63_byte_payload, id="payload-of-2**63-bytes"),
    pytest.param(connects_and_leaves_200_times, id="200-connections"),
    pytest.param(fifty_connect_while_one_is_open, id="50-clients-at-once"),
    pytest.param(pings_and_never_reads, id="pings-never-reads"),
    pytest.param(dde_client_ends_without_ending_its_loops, id="dde-client-killed"),
]


@pytest.mark.parametrize("fault", FAULTS)
def test_program_serves_on_after(vantrel, wine, capsys, fault):
    notes = []

    async def scenario():
        await linked_with_values(wine)
        await fault(wine, vantrel, notes.append)
        await prove_intact(wine)
    run(scenario(), 300)
    with capsys.disabled():
        for note in notes:
            print("\n%s" % note)


# ---------------------------------------------------------------------------
# Scenarios of their own


def test_twenty_thousand_fields_replay_once_in_order_to_a_pausing_reader(vantrel, wine, tmp_path):
    # 200 instruments of 100 fields, linked in 20 batches of 1000 items.
    items = ["%d.f%02d" % (5000 + i, f) for i in range(200) for f in range(100)]

    async def scenario():
        for n in range(0, len(items), 1000):
            batch = tmp_path / ("batch%d.txt" % n)
            batch.write_text("".join(item + "\n" for item in items[n:n + 1000]))
            result = await ddewatch(wine, "--format", "text", "--items-from", batch, "--stop-after-first",
                                    timeout=180)
            assert result.returncode == DDE_OK and len(result.values) == 1000, result
        feed = await RawFeed.connect(slow=True)
        try:
            key = new_key()
            await feed.send(request_head(key))
            feed.stop_reading()
            await asyncio.sleep(2)
            feed.writer.transport.resume_reading()
            assert await feed.read_head()
            frames = await feed.slow_frames(len(items), chunk=65536, pause=0, limit=300)
            got = [payload.decode("cp1252") for _, payload in frames]
            assert got == [request_text(i) for i in items], "requests lost, repeated or out of order"
        finally:
            await feed.close()
    run(scenario(), 900)


def test_wm_close_while_updates_flow_ends_with_exit_code_0(vantrel, wine):
    async def scenario():
        async with library_client() as feed:
            cell = watch(wine, "--format", "text", "--count", 1000000, ITEMS[0], timeout=120)
            assert await next_message(feed) == request_text(ITEMS[0])
            await values_seen(cell, 1)

            async def flow():
                n = 0
                while True:
                    n += 1
                    await feed.send(update_text(ITEMS[0], str(n)))
                    await asyncio.sleep(0.001)
            flowing = asyncio.create_task(flow())
            try:
                await values_seen(cell, 50)
                code = await asyncio.get_running_loop().run_in_executor(None, wine.close_vantrel, vantrel)
            finally:
                flowing.cancel()
                await asyncio.gather(flowing, return_exceptions=True)
        assert code == 0
    run(scenario(), 120)


def test_listens_on_127_0_0_1_only(vantrel):
    with socket.socket() as probe:
        probe.settimeout(5)
        with pytest.raises(ConnectionRefusedError):
            probe.connect(("127.0.0.2", FEED_PORT))
    with socket.create_connection((HOST, FEED_PORT), timeout=5):
        pass
