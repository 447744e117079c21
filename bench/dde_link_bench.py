#!/usr/bin/python3
"""How fast a spreadsheet's cells link to vantrel.exe under Wine.

For each sheet size N it starts vantrel.exe, lets ddewatch.exe link N cells
the way a spreadsheet opening a workbook does (an advise loop and one
request per cell, N different instruments), and prints how long that took
until every cell had its first value (ddewatch's start and hang-up
included); then it makes N one-time requests for the same items. The numbers include Wine's DDE library, whose link search is
linear, so the cost per cell grows with the sheet.

    /usr/bin/python3 bench/dde_link_bench.py [N ...]     (default 100 1000 3000)

Needs build/windows/*.exe (scripts/build.sh windows). Uses the Wine prefix
build/wineprefix-bench with the null driver, and port 8902 must be free.
"""

import sys
import tempfile
import time
from pathlib import Path

from wine_bench import bench_wine
from harness.wine import serving_vantrel


def timed_ddewatch(wine, *args):
    """Runs ddewatch; gives its result and the seconds it took."""
    started = time.monotonic()
    result = wine.ddewatch(*args, timeout=600)
    return result, time.monotonic() - started


def bench_sheet(wine, cells, items_file):
    items_file.write_text("".join("%d.lastprice\n" % (1000 + i) for i in range(cells)))
    with serving_vantrel(wine):
        result, linked = timed_ddewatch(wine, "--format", "text", "--count", cells,
                                        "--items-from", items_file)
        if result.returncode != 0 or len(result.values) != cells:
            sys.exit("linking %d cells failed: exit code %d, %d values"
                     % (cells, result.returncode, len(result.values)))
        result, requested = timed_ddewatch(wine, "--format", "text", "--request",
                                           "--items-from", items_file)
        if result.returncode != 0 or len(result.values) != cells:
            sys.exit("requesting %d cells failed: exit code %d" % (cells, result.returncode))
        print("%6d cells  linked in %7.2f s (%7.0f cells/s)   requested in %7.2f s (%7.0f/s)"
              % (cells, linked, cells / linked, requested, cells / requested), flush=True)


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [100, 1000, 3000]
    with bench_wine() as wine, tempfile.TemporaryDirectory() as scratch:
        for cells in sizes:
            bench_sheet(wine, cells, Path(scratch) / "items.txt")


if __name__ == "__main__":
    main()
