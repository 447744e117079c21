"""The log under Wine: what a feed author finds in vantrel.log after a
refused update, read from the prefix's %LOCALAPPDATA%.

    /usr/bin/python3 -m pytest tests/e2e/test_log.py -v
"""

import re
import shutil
import time

import pytest

from harness.cells import finished, values_seen, watch
from harness.feed import library_client, next_message, request_text, run, update_text
from harness.wine import DDE_OK, log_folder

LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (.*)$")
REFUSED = '{"key":"1234.lastprice","value":true}'


@pytest.fixture
def fresh_log(wine_env):
    """The log folder, emptied before the program starts."""
    folder = log_folder(wine_env)
    shutil.rmtree(folder, ignore_errors=True)
    return folder


def logged_events(folder, wanted, limit=10):
    """The log's events (each line without its time), once one of them
    starts with `wanted`: the program writes at most once a frame."""
    deadline = time.monotonic() + limit
    while True:
        path = folder / "vantrel.log"
        text = path.read_bytes().decode("utf-8") if path.exists() else ""
        lines = text.split("\r\n")
        assert lines[-1] == "", "the last line is not ended: %r" % text[-80:]
        events = []
        for line in lines[:-1]:
            match = LINE.match(line)
            assert match, "a line without its time: %r" % line
            events.append(match.group(1))
        if any(event.startswith(wanted) for event in events) or time.monotonic() > deadline:
            return events
        time.sleep(0.1)


def test_log_holds_the_connect_and_the_refusal_and_nothing_for_a_good_update(fresh_log, vantrel, wine):
    async def scenario():
        async with library_client(user_agent_header="feed-author/1.0") as ws:
            cell = watch(wine, "--count", 2, "1234.lastprice")
            assert await next_message(ws) == request_text("1234.lastprice")
            await values_seen(cell, 1)
            await ws.send(REFUSED)
            await ws.send(update_text("1234.lastprice", "12.5"))
            result = await finished(cell)
        # The good update reached the cell: it was taken, not just missed.
        assert result.returncode == DDE_OK, result
        assert result.values[-1] == ("1234.lastprice", "12.5"), result
    run(scenario(), 90)

    events = logged_events(fresh_log, "Feed client disconnected")
    assert re.match(r"Start: Vantrel \d+\.\d+\.\d+, .*\\vantrel\.exe, started by hand$", events[0]), events
    assert "Feed client connected: Origin not sent, User-Agent feed-author/1.0" in events, events
    assert "Update refused: value is true: " + REFUSED in events, events
    assert "First link to 1234.lastprice, by DDE" in events, events
    # The good update left no trace: the log holds why, not the traffic.
    assert not [event for event in events if "12.5" in event], events
    assert events[-1] == "Feed client disconnected after close code 1000: the client closed the connection", events
