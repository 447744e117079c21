"""The feed simulator, tools/feed_sim.py, against vantrel.exe under Wine,
with ddewatch.exe as the spreadsheet: it answers every request, keeps the
price fields ticking, finds the program again after it restarts, and ends
cleanly on Ctrl+C or SIGTERM.

    /usr/bin/python3 -m pytest tests/e2e/test_feed_sim.py -v
"""

import re
import signal

import pytest

from harness import local
from harness.cells import BLANK
from harness.wine import DDE_OK, serving_vantrel

PRICE = re.compile(r"^\d+\.\d\d$")
ITEMS = ["1234.lastprice", "1234.bid", "1234.name"]
# Ticks a second: instrument 1234 moves, and both its price fields are
# sent, twenty times a second.
RATE = 20


def assert_fed(result):
    """Every cell got a value from the simulator: prices that move, and one
    fixed text for the other field."""
    assert result.returncode == DDE_OK, result
    values = {item: [v for i, v in result.values if i == item and v != BLANK["text"]]
              for item in ITEMS}
    assert all(values.values()), result
    assert all(PRICE.match(v) for item in ITEMS[:2] for v in values[item]), result
    assert len(set(values["1234.lastprice"])) >= 2, result
    name = set(values["1234.name"])
    assert len(name) == 1 and not PRICE.match(name.pop()), result


def test_answers_ticks_and_finds_the_program_again_after_a_restart(wine):
    # Started first, it waits for the program; the second round needs it to
    # notice that the program went away and to connect to the new copy.
    sim = local.python_tool("feed_sim.py", wine, "--rate", RATE, "--seed", 7)
    for _ in range(2):
        with serving_vantrel(wine):
            assert_fed(wine.ddewatch("--format", "text", "--count", 24, *ITEMS, timeout=30))
    assert local.stop(sim) == 0, sim.result()


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "sigterm"])
def test_ends_cleanly_on_a_signal_while_connected(vantrel, wine, sig):
    sim = local.python_tool("feed_sim.py", wine, "--rate", RATE)
    local.output_line(sim, "feed_sim: connected")
    assert local.stop(sim, sig) == 0, sim.result()
    assert sim.result().stderr == "", sim.result()
