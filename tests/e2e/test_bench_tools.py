"""The ceiling benchmark's own DDE server and counting client under Wine,
driven by the benchmark's code: every advise the server posts is counted
once, and aged by a clock that the Windows processes and Linux share. The
benchmark measures; this checks that what it counts is right.

    /usr/bin/python3 -m pytest tests/e2e/test_bench_tools.py -v
"""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from ceiling_bench import Lab, count_ceiling  # noqa: E402

# An age beyond this means the two sides do not read the same clock (a
# wrong epoch or unit is off by years or by a factor of ten).
SANE_AGE_US = 60 * 1000 * 1000


@pytest.mark.parametrize("fields, updates", [(1, 300), (25, 500)], ids=["one-item", "25-items"])
def test_every_advise_is_counted_once_with_a_sane_age(wine, fields, updates):
    ages = wine.log_dir / "ages.txt"
    count, first, last = count_ceiling(Lab(wine), fields, updates, "--ages", ages)
    assert count == updates and first <= last
    aged = [int(age) for age in ages.read_text().split()]
    assert len(aged) == updates
    assert all(0 <= age < SANE_AGE_US for age in aged), (min(aged), max(aged))
