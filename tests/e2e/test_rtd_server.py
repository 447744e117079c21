"""The RTD face of vantrel.exe under Wine: rtdwatch.exe plays Excel (its own
single-threaded apartment, the server created out of process, ServerStart,
ConnectData, RefreshData after UpdateNotify), a websockets client plays the
feed. One scenario per fact that only Wine's COM can show; the topic
table, the topic strings and the values are unit-tested.

    /usr/bin/python3 -m pytest tests/e2e/test_rtd_server.py -v

Wine's COM finds classes only under HKLM: each test copies the keys the
program wrote under HKCU there first (harness/rtd.py).
"""

import asyncio
import json
import time

import pytest

from harness.cells import finished, values_seen, watch
from harness.feed import library_client, next_message, request_text, run, within
from harness.rtd import (BLANK, NA, RTD_OK, copy_classes_to_hklm, exit_com_started_copy, rtdwatch)
from harness.wine import (DDE_OK, fail, port_is_free, require_executables, serving_vantrel,
                          stop_process)


@pytest.fixture
def rtd(vantrel, wine):
    """vantrel.exe serving, with its class keys where Wine's COM reads them."""
    require_executables("rtdwatch.exe")
    copy_classes_to_hklm(wine)
    return vantrel


def update(item, value):
    return json.dumps({"key": item, "value": value}, ensure_ascii=False)


def test_values_reach_topics_as_a_number_and_as_unicode_text(rtd, wine):
    async def scenario():
        async with library_client() as ws:
            cells = rtdwatch(wine, "--throttle", 100, "--count", 4, "1234.lastprice", "1234,name")
            asked = {await next_message(ws), await next_message(ws)}
            assert asked == {request_text("1234.lastprice"), request_text("1234.name")}
            await values_seen(cells, 2)
            await ws.send(update("1234.lastprice", 12.5))
            await ws.send(update("1234.name", "\u6771\u4eac"))
            return await finished(cells)
    result = run(scenario(), 90)
    assert result.returncode == RTD_OK, result
    assert result.values == [("1234.lastprice", BLANK), ("1234,name", BLANK),
                             ("1234.lastprice", "12.5"), ("1234,name", '"\u6771\u4eac"')], result


def test_dde_cell_and_rtd_topic_on_one_item_both_update(rtd, wine):
    async def scenario():
        async with library_client() as ws:
            topic = rtdwatch(wine, "--throttle", 100, "--count", 2, "55.bid")
            assert await next_message(ws) == request_text("55.bid")
            cell = watch(wine, "--count", 2, "55.bid")
            await values_seen(topic, 1)
            await values_seen(cell, 1)
            await ws.send(update("55.bid", "7.25"))
            results = await finished(topic), await finished(cell)
            # The field is shared: the feed was asked for it once.
            with pytest.raises(AssertionError):
                await next_message(ws, limit=1)
            return results
    topic, cell = run(scenario(), 90)
    assert topic.returncode == RTD_OK, topic
    assert topic.values == [("55.bid", BLANK), ("55.bid", "7.25")], topic
    assert cell.returncode == DDE_OK, cell
    assert cell.values == [("55.bid", BLANK), ("55.bid", "7.25")], cell


def test_a_burst_of_changes_arrives_at_the_next_refresh_as_its_latest_value(rtd, wine):
    async def scenario():
        async with library_client() as ws:
            # Excel refreshes at most once per throttle interval: the burst
            # comes right after one refresh, so all of it waits for the next.
            topic = rtdwatch(wine, "--throttle", 2000, "--count", 3, "66.last")
            assert await next_message(ws) == request_text("66.last")
            await values_seen(topic, 1)
            await ws.send(update("66.last", 0))
            await values_seen(topic, 2)
            # 1,000 changes of one field, in batches that fit a frame.
            for start in range(1, 1001, 250):
                await ws.send("[" + ",".join(update("66.last", i) for i in range(start, start + 250)) + "]")
            return await finished(topic)
    result = run(scenario(), 90)
    assert result.returncode == RTD_OK, result
    assert result.values == [("66.last", BLANK), ("66.last", "0"), ("66.last", "1000")], result


def test_two_clients_at_once_each_get_the_value(rtd, wine):
    async def scenario():
        async with library_client() as ws:
            first = rtdwatch(wine, "--throttle", 100, "--count", 2, "77.ask")
            second = rtdwatch(wine, "--throttle", 100, "--count", 2, "77,ask")
            assert await next_message(ws) == request_text("77.ask")
            await values_seen(first, 1)
            await values_seen(second, 1)
            await ws.send(update("77.ask", 3))
            return await finished(first), await finished(second)
    first, second = run(scenario(), 90)
    assert first.returncode == RTD_OK and second.returncode == RTD_OK, (first, second)
    assert first.values == [("77.ask", BLANK), ("77.ask", "3")], first
    assert second.values == [("77,ask", BLANK), ("77,ask", "3")], second


def test_bad_items_show_na_and_ask_the_feed_nothing(rtd, wine):
    items = ["0.price", "abc.price", "1234", "1234,", "01234.bid", ",bid"]
    async def scenario():
        async with library_client() as ws:
            result = await finished(rtdwatch(wine, "--count", len(items), *items))
            with pytest.raises(AssertionError):
                await next_message(ws, limit=1)
            return result
    result = run(scenario(), 90)
    assert result.returncode == RTD_OK, result
    assert result.values == [(item, NA) for item in items], result


def test_com_starts_the_program_when_a_client_needs_it(wine):
    require_executables("rtdwatch.exe")
    # A first run writes the keys under HKCU; the copy under HKLM outlives it.
    with serving_vantrel(wine):
        copy_classes_to_hklm(wine)
    async def scenario():
        topic = rtdwatch(wine, "--throttle", 100, "--count", 2, "88.bid")
        await values_seen(topic, 1, limit=30)
        # The copy COM started serves the feed as any other.
        async with library_client() as ws:
            assert await next_message(ws) == request_text("88.bid")
            await ws.send(update("88.bid", 1.5))
            return await finished(topic)
    try:
        result = run(scenario(), 90)
    finally:
        if not port_is_free():
            exit_com_started_copy(wine)
    assert result.returncode == RTD_OK, result
    assert result.values == [("88.bid", BLANK), ("88.bid", "1.5")], result


def test_a_bad_item_on_a_reopened_workbook_shows_na_not_its_saved_value(rtd, wine):
    # Excel opening a saved workbook passes GetNewValues false: a value left
    # so keeps the saved one, which is right for a blank but not for #N/A.
    result = run(finished(rtdwatch(wine, "--opened", "--count", 2, "0.price", "77.bid")), 90)
    assert result.returncode == RTD_OK, result
    assert result.values == [("0.price", NA), ("77.bid", "(saved)")], result


def test_a_hung_client_holds_up_neither_the_feed_nor_dde_cells_nor_another_client(rtd, wine):
    async def scenario():
        async with library_client() as ws:
            hung = rtdwatch(wine, "--throttle", 100, "--busy", 30000, "66.bid")
            assert await next_message(ws) == request_text("66.bid")
            await values_seen(hung, 1)
            other = rtdwatch(wine, "--throttle", 100, "--count", 2, "66.ask")
            assert await next_message(ws) == request_text("66.ask")
            await values_seen(other, 1)
            cell = watch(wine, "--count", 2, "66.ask", timeout=15)
            await values_seen(cell, 1)
            # The hung client's UpdateNotify answers in 30 s: the change to
            # 66.ask comes while the program waits for it.
            await ws.send(update("66.bid", "1.5"))
            await asyncio.sleep(1)
            sent = time.monotonic()
            await ws.send(update("66.ask", "2.5"))
            await values_seen(other, 2)
            took = time.monotonic() - sent
            results = await finished(other), await finished(cell)
            stop_process(hung.popen)
            return results, took
    (other, cell), took = run(scenario(), 90)
    assert other.returncode == RTD_OK, other
    assert other.values == [("66.ask", BLANK), ("66.ask", "2.5")], other
    # A second is the aim; the margin is the harness's polling under Wine.
    assert took < 2, "the other client's value took %.2f s" % took
    assert cell.returncode == DDE_OK, cell
    assert cell.values == [("66.ask", BLANK), ("66.ask", "2.5")], cell


def test_file_exit_with_a_hung_client_ends_within_five_seconds_and_tells_the_others(rtd, wine):
    # The hung client holds Disconnect too, for longer than the program waits.
    hung = rtdwatch(wine, "--busy", 10000, "99.ask")
    answering = rtdwatch(wine, "99.bid")
    hung.wait_for_output()
    answering.wait_for_output()
    rtd.close_requested = True
    posted = wine.winctl("post", "--class", "VANTREL", "0x111", 105)
    asked = time.monotonic()
    assert posted.returncode == 0, posted
    assert rtd.wait(30) == 0
    took = time.monotonic() - asked
    try:
        # Told by Disconnect, the answering client ends by itself.
        code = answering.wait(30)
        result = answering.result()
    finally:
        stop_process(hung.popen)
    assert took < 5, "File > Exit took %.1f s" % took
    assert code == RTD_OK, result
    assert result.values == [("99.bid", BLANK), ("(server)", "Disconnect")], result
