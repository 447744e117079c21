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

import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
EXE_DIR = REPO / "build" / "windows"
PREFIX = REPO / "build" / "wineprefix-bench"
PREFIX_SH = REPO / "scripts" / "wine-prefix.sh"


def prefix(command):
    subprocess.run(["bash", str(PREFIX_SH), command, str(PREFIX), "null"],
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True, timeout=300)


def wine_env():
    listed = subprocess.run(["bash", str(PREFIX_SH), "env", str(PREFIX)], capture_output=True,
                            text=True, check=True, timeout=30).stdout
    return dict(os.environ, **dict(line.split("=", 1) for line in listed.splitlines()))


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
    app = subprocess.Popen(["wine", str(EXE_DIR / "vantrel.exe")], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    try:
        deadline = time.monotonic() + 30
        while ddewatch(env, "--request", "--timeout", 2, "1.x")[0] == 2:
            if time.monotonic() > deadline:
                sys.exit("vantrel.exe does not serve DDE (is port 8902 taken?)")
            time.sleep(0.2)
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
    finally:
        subprocess.run(["wine", str(EXE_DIR / "winctl.exe"), "post", "--class", "VANTREL", "0x10"],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, env=env, timeout=30)
        try:
            app.wait(60)
        except subprocess.TimeoutExpired:
            app.kill()


def main():
    sizes = [int(a) for a in sys.argv[1:]] or [100, 1000, 3000]
    prefix("start")
    try:
        env = wine_env()
        with tempfile.TemporaryDirectory() as scratch:
            for cells in sizes:
                bench_sheet(env, cells, Path(scratch) / "items.txt")
    finally:
        prefix("stop")


if __name__ == "__main__":
    main()
