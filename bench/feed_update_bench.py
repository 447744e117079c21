#!/usr/bin/python3
"""How fast values travel from a feed client through vantrel.exe into cells.

For each sheet size N it starts vantrel.exe and a feed client (Python's
websockets), then lets ddewatch.exe link N cells (N items over N/10
instruments) and prints:
- requests: how long until the feed client had a request for every cell;
- updates: the feed client sends ROUNDS values for every cell as fast as it
  can; the time until ddewatch had printed every one of them, and the rate;
- replay: a second feed client connects; how long until it had received a
  request for all N fields.

    /usr/bin/python3 bench/feed_update_bench.py [N ...]     (default 10 100 1000)

Needs build/windows/*.exe (scripts/build.sh windows). Uses the Wine prefix
build/wineprefix-bench with the null driver, and port 8902 must be free.
"""

import asyncio
import sys
import tempfile
import time
from pathlib import Path

import websockets

from wine_bench import bench_wine
from harness.cells import watch
from harness.wine import parse_watch_lines, serving_vantrel

URL = "ws://127.0.0.1:8902/"
ROUNDS = 10
LIMIT = 600


async def requests(ws, count):
    """The items of the next `count` request frames."""
    items = []
    while len(items) < count:
        message = await asyncio.wait_for(ws.recv(), LIMIT)
        items.append(message.split('"')[3])
    return items


async def bench_sheet(wine, cells, scratch):
    items = ["%d.f%d" % (1000 + i // 10, i % 10) for i in range(cells)]
    items_file = scratch / "items.txt"
    items_file.write_text("".join(item + "\n" for item in items))

    async with websockets.connect(URL, max_size=None, ping_interval=None) as feed:
        started = time.monotonic()
        cell = watch(wine, "--format", "text", "--count", cells * (ROUNDS + 1),
                     "--items-from", items_file, timeout=LIMIT)
        asked = await requests(feed, cells)
        requested = time.monotonic() - started
        if sorted(asked) != sorted(items):
            sys.exit("the feed client was not asked for every cell once")

        # Each cell's first value (a blank) comes from ddewatch's own request.
        deadline = time.monotonic() + LIMIT
        while len(parse_watch_lines(cell.output())) < cells:
            if time.monotonic() > deadline or not cell.running():
                sys.exit("ddewatch did not link every cell")
            await asyncio.sleep(0.05)

        started = time.monotonic()
        for round_ in range(ROUNDS):
            for item in items:
                await feed.send('{"key":"%s","value":"%d.%d"}' % (item, round_, cells))
        sent = time.monotonic() - started
        code = await asyncio.get_running_loop().run_in_executor(None, cell.wait, LIMIT)
        delivered = time.monotonic() - started
        values = parse_watch_lines(cell.output())
        if code != 0 or len(values) != cells * (ROUNDS + 1):
            sys.exit("ddewatch: exit code %d, %d values of %d" % (code, len(values), cells * (ROUNDS + 1)))

    started = time.monotonic()
    async with websockets.connect(URL, max_size=None, ping_interval=None) as feed:
        replayed_items = await requests(feed, cells)
        replayed = time.monotonic() - started
    if replayed_items != items:
        sys.exit("the replay did not ask for every field once, in order")

    updates = cells * ROUNDS
    print("%6d cells  requests in %6.2f s   %6d updates sent in %6.2f s, in the cells after %6.2f s "
          "(%6.0f/s)   replay in %6.3f s" % (cells, requested, updates, sent, delivered,
                                           updates / delivered, replayed), flush=True)


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [10, 100, 1000]
    with bench_wine() as wine, tempfile.TemporaryDirectory() as scratch:
        for cells in sizes:
            with serving_vantrel(wine):
                asyncio.run(bench_sheet(wine, cells, Path(scratch)))


if __name__ == "__main__":
    main()
