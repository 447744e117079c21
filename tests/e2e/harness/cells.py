"""ddewatch.exe as the spreadsheet whose cells link to the program's items,
waited for without blocking the feed clients of the same asyncio scenario."""

import asyncio
import time

from harness.wine import DDE_OK, TOOL_MARGIN, fail, parse_watch_lines, stop_process

# A cell whose field has no value, as ddewatch prints it in each format.
BLANK = {"xltable": '" "', "text": " "}


def watch(wine, *args, timeout=60):
    """Starts ddewatch in the background (XlTable unless --format says
    otherwise)."""
    return wine.start("ddewatch.exe", "--timeout", timeout, *args)


async def values_seen(cell, count, limit=15):
    """Waits until ddewatch has printed `count` values; gives them all."""
    deadline = time.monotonic() + limit
    while True:
        values = parse_watch_lines(cell.output())
        if len(values) >= count:
            return values
        if not cell.running():
            fail("ddewatch ended with %d of %d values\n%s" % (len(values), count, cell.result()))
        if time.monotonic() > deadline:
            fail("ddewatch printed %d of %d values in %s s\n%s"
                 % (len(values), count, limit, cell.result()))
        await asyncio.sleep(0.05)


async def finished(cell):
    """Waits for ddewatch to end, at most its own --timeout and a margin;
    gives its result."""
    limit = float(cell.argv[cell.argv.index("--timeout") + 1]) + TOOL_MARGIN
    deadline = time.monotonic() + limit
    while cell.running():
        if time.monotonic() > deadline:
            stop_process(cell.popen)
            fail("%s did not end within %s s\n%s" % (" ".join(cell.argv), limit, cell.result()))
        await asyncio.sleep(0.05)
    return cell.result()


async def ddewatch(wine, *args, timeout=30):
    """Runs ddewatch to its end without blocking the feed clients."""
    return await finished(watch(wine, *args, timeout=timeout))


async def link(wine, *items, fmt="xltable"):
    """Links cells to `items` until each shows its first value, then lets
    them go, as a workbook that is opened and closed again."""
    result = await ddewatch(wine, "--format", fmt, "--count", len(items), *items)
    if result.returncode != DDE_OK:
        fail("linking %s failed\n%s" % (", ".join(items), result))
    return result
