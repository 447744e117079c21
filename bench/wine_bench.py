"""What the benchmarks share: their Wine prefix and a vantrel.exe to measure.

The prefix build/wineprefix-bench uses the null driver; port 8902 must be free.
"""

import contextlib
import os
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
EXE_DIR = REPO / "build" / "windows"
PREFIX = REPO / "build" / "wineprefix-bench"
PREFIX_SH = REPO / "scripts" / "wine-prefix.sh"


def prefix(command):
    subprocess.run(["bash", str(PREFIX_SH), command, str(PREFIX), "null"],
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True, timeout=300)


@contextlib.contextmanager
def wine_prefix():
    """The environment of every Wine call, with the prefix's server running."""
    prefix("start")
    try:
        listed = subprocess.run(["bash", str(PREFIX_SH), "env", str(PREFIX)], capture_output=True,
                                text=True, check=True, timeout=30).stdout
        yield dict(os.environ, **dict(line.split("=", 1) for line in listed.splitlines()))
    finally:
        prefix("stop")


def wine(env, exe, *args, **popen):
    """Starts one of the built executables; output goes where `popen` says
    (never a pipe: Wine's helpers would hold it open)."""
    popen.setdefault("stdout", subprocess.DEVNULL)
    popen.setdefault("stderr", subprocess.DEVNULL)
    return subprocess.Popen(["wine", str(EXE_DIR / exe)] + [str(a) for a in args],
                            stdin=subprocess.DEVNULL, env=env, **popen)


@contextlib.contextmanager
def running_vantrel(env):
    """vantrel.exe, serving DDE; closed with WM_CLOSE at the end."""
    app = wine(env, "vantrel.exe")
    try:
        deadline = time.monotonic() + 30
        while wine(env, "ddewatch.exe", "--request", "--timeout", 2, "1.x").wait(60) == 2:
            if time.monotonic() > deadline:
                sys.exit("vantrel.exe does not serve DDE (is port 8902 taken?)")
            time.sleep(0.2)
        yield app
    finally:
        wine(env, "winctl.exe", "post", "--class", "VANTREL", "0x10").wait(30)
        try:
            app.wait(60)
        except subprocess.TimeoutExpired:
            app.kill()
