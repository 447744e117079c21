"""When feed_sim.py --outages keeps the simulator away: the last 5 s of
every minute it runs.

    /usr/bin/python3 -m pytest tests/tools -v
"""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from feed_sim import Outages  # noqa: E402


@pytest.mark.parametrize("elapsed, until_away, away_left", [
    (0, 55, 0), (54.5, 0.5, 0), (55, 0, 5), (58, 0, 2), (60, 55, 0), (175, 0, 5),
], ids=["start", "just-before", "outage-begins", "in-outage", "next-minute", "third-minute"])
def test_away_for_the_last_five_seconds_of_each_minute(elapsed, until_away, away_left):
    outages = Outages(1000.0)
    assert outages.until_away(1000.0 + elapsed) == pytest.approx(until_away)
    assert outages.away_left(1000.0 + elapsed) == pytest.approx(away_left)
