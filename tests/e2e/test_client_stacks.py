"""Feed clients written with the WebSocket stacks people use, each against
vantrel.exe under Wine: it connects, is asked for the field a cell linked
before it came, answers with a value that reaches the cell (ddewatch.exe),
stays connected for a few seconds (pinging every second where the stack
can), and closes; the stack must see a clean close with code 1000.

    /usr/bin/python3 -m pytest tests/e2e/test_client_stacks.py -v

Node's stack needs Node 20.10 or later (node --experimental-websocket); the
test is skipped, with its reason, where that is missing.
"""

import asyncio
import json
import shutil
import struct
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path

import aiohttp
import pytest
import tornado.websocket
import websocket
import websockets

from harness.browser import Page
from harness.cells import BLANK, finished, watch
from harness.feed import STEP, URL, request_text, run, update_text, within
from harness.wine import DDE_OK, FEED_PORT, TOOL_MARGIN

HERE = Path(__file__).resolve().parent
ITEM, VALUE = "1234.lastprice", "12.5"
HOLD = 3  # seconds connected after the update, pinging once a second
SCENARIO_LIMIT = 60


@dataclass
class Outcome:
    request: str        # the first message from the program
    close_code: int     # the code the stack reports for the close
    # Pongs seen, for the stacks that show them. aiohttp's heartbeat and
    # tornado's ping_timeout close the connection on a missing pong, which
    # the holding step of their clients sees; the WebSocket API of Node and
    # Chromium sends no pings at all.
    pongs: int = None


async def websockets_client():
    async with websockets.connect(URL, open_timeout=STEP, close_timeout=3, ping_interval=1,
                                  ping_timeout=2) as ws:
        request = await within(ws.recv(), "request")
        await ws.send(update_text(ITEM, VALUE))
        await asyncio.sleep(HOLD)
        assert ws.open, "closed while holding: code %s" % ws.close_code
        # latency is set by the pong to the library's own keep-alive ping.
        pongs = 1 if ws.latency > 0 else 0
        await ws.close(1000)
    return Outcome(request, ws.close_code, pongs)


async def aiohttp_client():
    async with aiohttp.ClientSession() as session:
        async with session.ws_connect(URL, heartbeat=1, timeout=STEP) as ws:
            request = (await ws.receive(timeout=STEP)).data
            await ws.send_str(update_text(ITEM, VALUE))
            # The heartbeat sees its pongs only while the client reads; a
            # missing pong would close the connection and end this read.
            # (Each pong restarts receive()'s own timeout, so the limit is
            # set from outside.)
            try:
                message = await asyncio.wait_for(ws.receive(), HOLD)
                pytest.fail("unexpected %r while holding (close code %s)" % (message, ws.close_code))
            except asyncio.TimeoutError:
                pass
            await ws.close(code=1000)
            return Outcome(request, ws.close_code)


async def tornado_client():
    ws = await tornado.websocket.websocket_connect(URL, connect_timeout=STEP, ping_interval=1,
                                                   ping_timeout=2)
    request = await within(ws.read_message(), "request")
    await ws.write_message(update_text(ITEM, VALUE))
    await asyncio.sleep(HOLD)
    assert ws.close_code is None, "closed while holding: code %s" % ws.close_code
    ws.close(1000)
    # None once the closing handshake is over.
    assert await within(ws.read_message(), "end of the connection") is None
    return Outcome(request, ws.close_code)


def websocket_client_client():
    """websocket-client is blocking; it sends Origin: http://127.0.0.1:8902."""
    ws = websocket.create_connection("ws://127.0.0.1:%d/feed" % FEED_PORT, timeout=STEP)
    try:
        request = ws.recv()
        ws.send(update_text(ITEM, VALUE))
        pongs = 0
        for n in range(HOLD):
            time.sleep(1)
            ws.ping("%d" % n)
            opcode, frame = ws.recv_data_frame(True)
            assert opcode == websocket.ABNF.OPCODE_PONG, (opcode, frame)
            pongs += 1
        ws.send_close(websocket.STATUS_NORMAL)
        opcode, frame = ws.recv_data_frame(True)
        assert opcode == websocket.ABNF.OPCODE_CLOSE, (opcode, frame)
        return Outcome(request, struct.unpack("!H", frame.data[:2])[0], pongs)
    finally:
        ws.shutdown()


def node_client(log_dir):
    node = shutil.which("node")
    if node is None:
        pytest.skip("node is not installed")
    probe = subprocess.run([node, "--experimental-websocket", "-e",
                            "process.exit(typeof WebSocket === 'function' ? 0 : 1)"],
                           capture_output=True, timeout=30)
    if probe.returncode != 0:
        pytest.skip("this node has no built-in WebSocket (Node 20.10 or later has one)")
    out_path = log_dir / "node.out"
    with open(out_path, "wb") as out:
        subprocess.run([node, "--experimental-websocket", str(HERE / "clients" / "node_feed_client.mjs"),
                        URL, VALUE, str(HOLD * 1000)], stdin=subprocess.DEVNULL, stdout=out,
                       stderr=subprocess.STDOUT, timeout=SCENARIO_LIMIT, check=True)
    return outcome_of_events([json.loads(line) for line in out_path.read_text().splitlines()
                              if line.startswith("{")])


def chromium_client(log_dir):
    page = Page(HERE / "browser" / "feed_client.html", log_dir)
    try:
        page.open(port=FEED_PORT, value=VALUE, close_after=HOLD * 1000)
        page.wait_for(lambda e: e["event"] == "close", "close of the page's connection")
        return outcome_of_events(page.reports.events)
    finally:
        page.close()


def outcome_of_events(events):
    """What a client that reports events (message, close) saw."""
    messages = [e["text"] for e in events if e["event"] == "message"]
    closes = [e for e in events if e["event"] == "close"]
    assert messages and len(closes) == 1, events
    assert closes[0]["clean"], "not a clean close: %s" % events
    return Outcome(messages[0], closes[0]["code"])


STACKS = [
    pytest.param(lambda log_dir: run(websockets_client(), SCENARIO_LIMIT), True, id="websockets"),
    pytest.param(lambda log_dir: run(aiohttp_client(), SCENARIO_LIMIT), False, id="aiohttp"),
    pytest.param(lambda log_dir: run(tornado_client(), SCENARIO_LIMIT), False, id="tornado"),
    pytest.param(lambda log_dir: websocket_client_client(), True, id="websocket-client"),
    pytest.param(node_client, False, id="node"),
    pytest.param(chromium_client, False, id="chromium"),
]


@pytest.mark.parametrize("client, shows_pongs", STACKS)
def test_stack_gets_request_delivers_value_and_closes_cleanly(vantrel, wine, client, shows_pongs):
    cell = watch(wine, "--count", 2, ITEM, timeout=SCENARIO_LIMIT)
    cell.wait_for_output()  # linked: the request comes with the replay
    outcome = client(wine.log_dir)
    assert outcome.request == request_text(ITEM), outcome
    assert outcome.close_code == 1000, outcome
    if shows_pongs:
        assert outcome.pongs and outcome.pongs > 0, "the stack's pings got no pong: %s" % (outcome,)
    code = cell.wait(SCENARIO_LIMIT + TOOL_MARGIN)
    result = cell.result()
    assert code == DDE_OK and result.values == [(ITEM, BLANK["xltable"]), (ITEM, VALUE)], result


# A feed written the usual way in Python: json.dumps with its defaults
# (non-ASCII escaped, numbers unquoted, None as null), one batch per frame.
def test_python_feed_sends_a_json_batch(vantrel, wine):
    name = "Z\u00fcrich \u6771\u4eac \"12\""
    cells = [watch(wine, "--count", 2, ITEM, timeout=SCENARIO_LIMIT),
             watch(wine, "--format", "unicode", "--count", 2, "1234.name", timeout=SCENARIO_LIMIT),
             watch(wine, "--format", "text", "--count", 3, "1234.bid", timeout=SCENARIO_LIMIT)]
    for cell in cells:
        cell.wait_for_output()

    async def feed():
        async with websockets.connect(URL, open_timeout=STEP, close_timeout=3) as ws:
            requests = {await within(ws.recv(), "request") for _ in cells}
            assert requests == {request_text(i) for i in (ITEM, "1234.name", "1234.bid")}
            await ws.send(json.dumps({"key": "1234.bid", "value": 1.5}))
            await ws.send(json.dumps([{"key": ITEM, "value": 12.5}, {"key": "1234.name", "value": name},
                                      {"key": "1234.bid", "value": None}]))
            return [await finished(cell) for cell in cells]

    results = run(feed(), SCENARIO_LIMIT + TOOL_MARGIN)
    assert [r.returncode for r in results] == [DDE_OK] * 3, results
    assert [r.values for r in results] == [
        [(ITEM, BLANK["xltable"]), (ITEM, "12.5")],
        [("1234.name", " "), ("1234.name", name)],
        [("1234.bid", BLANK["text"]), ("1234.bid", "1.5"), ("1234.bid", BLANK["text"])]], results
