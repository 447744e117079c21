"""Whether a price is live, as a sheet sees it under Wine: Status!feed
following the feed client, the clock ticking, and a field's time reaching
an RTD topic and a DDE cell beside its value. One scenario per fact that
only real DDE, COM and sockets can show; the topics, the items, the times'
rendering and the topic strings are unit-tested.

    /usr/bin/python3 -m pytest tests/e2e/test_live_status.py -v
"""

import datetime
import json
import time

import pytest

from harness.cells import finished, values_seen, watch
from harness.feed import library_client, next_message, request_text, run
from harness.rtd import BLANK as RTD_BLANK
from harness.rtd import RTD_OK, copy_classes_to_hklm, rtdwatch
from harness.wine import DDE_OK, fail, require_executables

EXCEL_EPOCH = datetime.datetime(1899, 12, 30)
TEXT_TIME = "%Y-%m-%d %H:%M:%S.%f"


def update(item, value):
    return json.dumps({"key": item, "value": value})


def from_serial(text):
    """Excel's serial day number as the local time it stands for."""
    return EXCEL_EPOCH + datetime.timedelta(days=float(text))


def from_text(text):
    return datetime.datetime.strptime(text, TEXT_TIME)


def line_time(result, index):
    """When ddewatch printed its `index`th value: the local time of day at
    the start of its line, on today's date."""
    stamp = result.stdout.splitlines()[index].split(" ", 1)[0]
    clock = datetime.datetime.strptime(stamp, "%H:%M:%S.%f").time()
    return datetime.datetime.combine(datetime.date.today(), clock)


def test_status_feed_says_connected_and_disconnected_within_a_second_of_the_close(vantrel, wine):
    async def scenario():
        cell = watch(wine, "--topic", "Status", "--format", "text", "--count", 3, "feed")
        await values_seen(cell, 1)
        async with library_client() as ws:
            await values_seen(cell, 2)
            closed = datetime.datetime.now()
            await ws.close()
        result = await finished(cell)
        return result, closed
    result, closed = run(scenario(), 90)
    assert result.returncode == DDE_OK, result
    assert result.values == [("feed", "Disconnected"), ("feed", "Connected"), ("feed", "Disconnected")], result
    told = (line_time(result, 2) - closed).total_seconds()
    assert told < 1.0, "Disconnected %.3f s after the close\n%s" % (told, result)


def test_status_clock_ticks_each_whole_second(vantrel, wine):
    result = wine.ddewatch("--topic", "Status", "--format", "text", "--count", 4, "clock", timeout=20)
    assert result.returncode == DDE_OK, result
    times = [from_text(value) for _, value in result.values]
    assert all(t.microsecond == 0 for t in times), result
    # The request that fills the cell may answer the same second as a tick.
    seconds = sorted(set(times))
    assert len(seconds) >= 3, result
    assert all((b - a).total_seconds() == 1 for a, b in zip(seconds, seconds[1:])), result
    assert abs((times[-1] - datetime.datetime.now()).total_seconds()) < 5, result


def test_rtd_time_topic_gets_a_number_within_a_second_of_the_update(vantrel, wine):
    require_executables("rtdwatch.exe")
    copy_classes_to_hklm(wine)
    async def scenario():
        async with library_client() as ws:
            topic = rtdwatch(wine, "--throttle", 100, "--count", 2, "Time,1234.lastprice")
            assert await next_message(ws) == request_text("1234.lastprice")
            await values_seen(topic, 1)
            sent = datetime.datetime.now()
            await ws.send(update("1234.lastprice", 12.5))
            return await finished(topic), sent
    result, sent = run(scenario(), 90)
    assert result.returncode == RTD_OK, result
    assert result.values[0] == ("Time,1234.lastprice", RTD_BLANK), result
    item, value = result.values[1]
    assert item == "Time,1234.lastprice", result
    received = from_serial(value)
    assert abs((received - sent).total_seconds()) < 1.0, (received, sent, result)


# Wine's DDE library matches advise loops by item alone: the one post for
# the field reaches both cells, and each answers by its own topic, once.
def test_quote_and_time_cells_on_one_item_each_get_their_own_value_once(vantrel, wine):
    async def scenario():
        async with library_client() as ws:
            price = watch(wine, "--format", "text", "--count", 3, "55.bid")
            assert await next_message(ws) == request_text("55.bid")
            stamp = watch(wine, "--topic", "Time", "--format", "text", "--count", 3, "55.bid")
            await values_seen(price, 1)
            await values_seen(stamp, 1)
            before = datetime.datetime.now()
            await ws.send(update("55.bid", 12.5))
            await values_seen(price, 2)
            await values_seen(stamp, 2)
            await ws.send(update("55.bid", "13.5"))
            results = await finished(price), await finished(stamp)
            return results + (before, datetime.datetime.now())
    price, stamp, before, after = run(scenario(), 90)
    assert price.returncode == DDE_OK and stamp.returncode == DDE_OK, (price, stamp)
    assert price.values == [("55.bid", " "), ("55.bid", "12.5"), ("55.bid", "13.5")], price
    assert stamp.values[0] == ("55.bid", " "), stamp
    times = [from_text(value) for _, value in stamp.values[1:]]
    slack = datetime.timedelta(seconds=1)
    assert before - slack <= times[0] < times[1] <= after + slack, (times, stamp)
