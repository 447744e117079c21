"""What the benchmarks take from the end-to-end tests' harness: the Wine
prefix of role bench (null driver) and a Wine runner whose processes write
their output to build/artifacts/bench/. Port 8902 must be free."""

import contextlib
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "e2e"))

from harness.wine import (ARTIFACTS, HarnessError, Wine, require_executables,  # noqa: E402
                          running_prefix)

LOGS = ARTIFACTS / "bench"


@contextlib.contextmanager
def bench_wine():
    """A Wine runner under the bench prefix's server; whatever it started
    is closed at the end, and a harness failure ends the benchmark with its
    message."""
    try:
        require_executables()
        LOGS.mkdir(parents=True, exist_ok=True)
        with running_prefix("bench", "null", LOGS / "wine-prefix.log") as env:
            wine = Wine(env, LOGS)
            try:
                yield wine
            finally:
                wine.close_all()
    except HarnessError as failure:
        sys.exit("benchmark failed: %s" % failure)
