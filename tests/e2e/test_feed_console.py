"""The feed console, tools/feed-console.html, as a person uses it: served
from 127.0.0.1 by tools/console_server.py (as scripts/run.sh serves it),
opened in headless Chromium, which is driven through its DevTools protocol.
It connects to vantrel.exe under Wine, shows the request for a cell that
ddewatch.exe links, and what is sent from the page reaches that cell.

    /usr/bin/python3 -m pytest tests/e2e/test_feed_console.py -v
"""

import json
import re

import pytest

from harness import local
from harness.cells import BLANK, finished, values_seen, watch
from harness.devtools import DrivenPage
from harness.feed import run
from harness.wine import DDE_OK

ITEM = "1234.lastprice"
ROW = "document.querySelector('tr[data-item=%s]')" % json.dumps(ITEM)
SCENARIO_LIMIT = 150


@pytest.fixture
def console_url(wine):
    """The console's address, served as scripts/run.sh serves it."""
    server = local.python_tool("console_server.py", wine, "--port", 0)
    return local.output_line(server, "feed console: ").split(": ", 1)[1]


def click(selector, within="document"):
    return "%s.querySelector(%s).click(), true" % (within, json.dumps(selector))


# Each row: what the person does in the item's row, and the value the cell
# then shows (text format).
@pytest.mark.parametrize("action, shown", [
    ("%s.querySelector('.value').value = '12.5', %s" % (ROW, click(".send", ROW)), r"12\.5"),
    (click(".null", ROW), re.escape(BLANK["text"])),
    (click("#tick"), r"\d+\.\d\d"),
], ids=["typed-value", "null-button", "tick-every-field"])
def test_request_shows_and_what_is_sent_reaches_the_cell(vantrel, wine, console_url, action,
                                                         shown):
    async def scenario():
        async with DrivenPage(console_url, wine.log_dir) as page:
            # The page target may still show about:blank at first.
            await page.wait_until("document.readyState === 'complete' && "
                                  "document.getElementById('connect') !== null", "loaded console")
            await page.evaluate(click("#connect"))
            await page.wait_until("document.getElementById('status').textContent === 'Connected'",
                                  "connection to the program")
            # The cell's first value fills it; the second comes from the page.
            cell = watch(wine, "--format", "text", "--count", 2, ITEM, timeout=60)
            await page.wait_until("%s !== null" % ROW, "request row for %s" % ITEM)
            await values_seen(cell, 1)
            await page.evaluate(action)
            return await finished(cell)

    result = run(scenario(), SCENARIO_LIMIT)
    assert result.returncode == DDE_OK, result
    assert result.values[0] == (ITEM, BLANK["text"]), result
    assert re.fullmatch(shown, result.values[1][1]), result
