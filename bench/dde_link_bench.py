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

import subprocess
import sys
import tempfile
import time
from pathlib import Path

from wine_bench import EXE_DIR, running_vantrel, wine_prefix


def ddewatch(env, *args, limit=600):
    """Runs ddewatch; gives its exit code, the seconds it took and its value lines."""
    with tempfile.TemporaryFile() as out:
        started = time.monotonic()
        code = subprocess.run(["wine", str(EXE_DIR / "ddewatch.exe")] + [str(a) for a in args],
                              stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL,
                              env=env, timeout=limit).returncode
        took = time.monotonic() - started
        out.seek(0)
        lines = out.read().decode("cp1252", "replace").splitlines()
    return code, took, lines


def bench_sheet(env, cells, items_file):
    items_file.write_text("".join("%d.lastprice\n" % (1000 + i) for i in range(cells)))
    with running_vantrel(env):
        code, linked, lines = ddewatch(env, "--format", "text", "--count", cells, "--timeout",
                                       600, "--items-from", items_file)
        if code != 0 or len(lines) != cells:
            sys.exit("linking %d cells failed: exit code %d, %d values" % (cells, code, len(lines)))
        code, requested, lines = ddewatch(env, "--format", "text", "--request", "--timeout", 600,
                                          "--items-from", items_file)
        if code != 0 or len(lines) != cells:
            sys.exit("requesting %d cells failed: exit code %d" % (cells, code))
        print("%6d cells  linked in %7.2f s (%7.0f cells/s)   requested in %7.2f s (%7.0f/s)"
              % (cells, linked, cells / linked, requested, cells / requested), flush=True)


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [100, 1000, 3000]
    with wine_prefix() as env, tempfile.TemporaryDirectory() as scratch:
        for cells in sizes:
            bench_sheet(env, cells, Path(scratch) / "items.txt")


if __name__ == "__main__":
    main()
