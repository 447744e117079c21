"""The ceiling benchmark's report: which figures its table shows, and how a
run's table lands in the README. No measuring happens here.

    /usr/bin/python3 -m pytest tests/bench -v
"""

import json
import re
import statistics
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
from bench_report import (README_END, README_START, load_runs, quote_in_readme,  # noqa: E402
                          runs_table, table)

PACED = {"fields": 100, "rate": 1000, "busy_ms": 2, "stale_updates": 3000}


def run(ceiling, shown, hidden=None, latency=1.0):
    """One run's figures: the ceiling (the mean of two) and the program's throughput by size
    with the window shown and hidden (the shown figures unless told), the
    rest made up."""
    def figures(throughput, latency):
        return {"throughput": dict(throughput),
                "latency": {"p50": latency, "p99": 2 * latency, "max": 3 * latency},
                "staleness": {"p50": 1000.0, "max": 2000.0}, "replay": 0.5, "footprint": 20.0}
    return {"ceiling": dict(ceiling),
            "ceilings": {size: [0.9 * value, 1.1 * value] for size, value in ceiling.items()},
            "shown": figures(shown, latency),
            "hidden": figures(shown if hidden is None else hidden, 2 * latency)}


def throughput_rows(markdown):
    """{size: (ceiling, (shown, ratio, flagged), (hidden, ratio, flagged))}
    of the table's throughput rows."""
    rows = {}
    number = lambda text: float(text.replace(",", ""))  # noqa: E731
    for line in markdown.splitlines():
        cells = [c.strip() for c in line.strip("|").split("|")]
        if cells[0].startswith("throughput"):
            rows[int(number(cells[1]))] = (number(cells[2]),) + tuple(
                (number(cells[i]), float(re.match(r"([\d.]+)", cells[i + 1]).group(1)),
                 "below" in cells[i + 1]) for i in (3, 5))
    return rows


# Each run measures ceiling and program close together, so the ratio shown
# is the median of the runs' ratios, not the ratio of the two medians; each
# window state has its own.
@pytest.mark.parametrize("pairs, shown", [
    ([(100, 90), (200, 100), (300, 310)], (200, 100, 0.90, True)),
    ([(100, 96), (100, 95), (100, 99)], (100, 96, 0.96, False)),
    ([(100, 95), (100, 95), (100, 95)], (100, 95, 0.95, False)),
    ([(1000, 2000), (100, 50), (100, 40)], (100, 50, 0.50, True)),
], ids=["median-of-ratios", "above-target", "at-target", "one-wild-run"])
def test_throughput_row_shows_medians_and_flags_below_target(pairs, shown):
    runs = [run({7: c}, {7: p}, {7: 2 * p}) for c, p in pairs]
    ceiling, program, share, flagged = shown
    hidden_share = statistics.median(2 * p / c for c, p in pairs)
    assert throughput_rows(table(runs, PACED)) == {7: (
        ceiling, (program, share, flagged),
        (2 * program, round(hidden_share, 2), hidden_share < 0.95))}


def test_runs_read_back_from_json_give_the_same_table(tmp_path):
    runs = [run({1: 5000.0, 100: 3000.0}, {1: 4000.0, 100: 2900.0}, {1: 4500.0, 100: 2950.0},
                latency) for latency in (0.5, 0.7, 0.6)]
    path = tmp_path / "runs.json"
    path.write_text(json.dumps(runs))
    assert table(load_runs(path), PACED) == table(runs, PACED)
    assert runs_table(load_runs(path)) == runs_table(runs)
    assert sorted(throughput_rows(table(runs, PACED))) == [1, 100]


@pytest.mark.parametrize("markers", [True, False], ids=["with-markers", "without-markers"])
def test_quoting_in_readme_replaces_only_between_the_markers(tmp_path, markers):
    readme = tmp_path / "README.md"
    before, after = "# Title\n\nText before.\n\n", "\n\n## Next\n\nText after.\n"
    inside = "%s\nold table\n%s" % (README_START, README_END) if markers else "no markers"
    readme.write_text(before + inside + after)
    runs = [run({1: 100.0}, {1: 99.0})]

    assert quote_in_readme(readme, runs, PACED) == markers
    once = readme.read_text()
    assert once.startswith(before) and once.endswith(after)
    if not markers:
        assert once == before + inside + after
        return
    assert "old table" not in once and table(runs, PACED) in once
    # A second run replaces the first run's table instead of adding to it.
    quote_in_readme(readme, runs, PACED)
    twice = readme.read_text()
    assert twice.startswith(before) and twice.endswith(after)
    assert twice.count(README_START) == 1 and twice.count(table(runs, PACED)) == 1


def rtd_figures(throughput):
    return {"throughput": throughput, "round_trip": {"p50": 1.5, "p99": 4.0}, "age": {"p50": 3.0, "p99": 9.0}}


def rtd_rows(markdown):
    """{measure: [cells]} of the RTD rows."""
    return {cells[0]: cells[1:] for cells in ([c.strip() for c in line.strip("|").split("|")]
                                             for line in markdown.splitlines()) if cells[0].startswith("RTD")}


# RTD is measured with the window hidden: its rows fill that column only,
# the throughput with the median of the runs' ratios to DDE's; runs from
# before RTD have no such rows, and the figures survive runs.json.
def test_rtd_rows_sit_in_the_hidden_column_beside_the_dde_rows(tmp_path):
    runs = [run({1000: 1000.0}, {1000: 900.0}, {1000: dde}) for dde in (1000.0, 500.0, 2000.0)]
    for each, absorbed in zip(runs, (20000.0, 30000.0, 10000.0)):
        each["rtd"] = {1000: rtd_figures(absorbed)}
    rows = rtd_rows(table(runs, PACED))
    assert rows["RTD: updates/s absorbed, Excel refreshing at once"] == [
        "1,000 topics", "", "", "", "20,000", "20.0 x DDE"]
    assert rows["RTD: RefreshData round trip at 1,000 updates/s, ms: p50 / p99"][3:5] == ["", "1.5 / 4.0"]
    assert rows["RTD: age of each value at its refresh at 1,000 updates/s, ms: p50 / p99"][3:5] == ["", "3.0 / 9.0"]
    path = tmp_path / "runs.json"
    path.write_text(json.dumps(runs))
    assert table(load_runs(path), PACED) == table(runs, PACED)
    for each in runs:
        del each["rtd"]
    assert rtd_rows(table(runs, PACED)) == {}


def scale_figures(absorbed):
    """The feeds-at-scale figures of one topics size: `absorbed` by batch size."""
    return {"throughput": dict(absorbed),
            "round_trip": {b: {"p50": 1.0, "p99": 2.0} for b in absorbed},
            "age": {b: {"p50": 3.0, "p99": 4.0} for b in absorbed},
            "replay": 0.5, "snapshot": 0.75, "footprint": 40.0}


# The feeds-at-scale rows come in a table of their own: the share of the
# limit is the median of each run's share (the limit is measured in the
# same run), and the figures survive runs.json; runs without them have no
# such table.
def test_scale_rows_show_the_share_of_the_limit_measured_in_the_same_run(tmp_path):
    runs = [run({1: 100.0}, {1: 99.0}) for _ in range(3)]
    for each, (absorbed, alone) in zip(runs, [(300.0, 1000.0), (100.0, 500.0), (900.0, 1000.0)]):
        each["scale"] = {100000: scale_figures({1000: absorbed})}
        each["limit"] = {1000: alone}
        each["apply_limit"] = {1000: alone * 2}
    markdown = table(runs, PACED)
    rows = [[c.strip() for c in line.strip("|").split("|")] for line in markdown.splitlines()
            if line.startswith("| 100,000 |")]
    assert rows[0] == ["100,000", "1,000", "300", "1,000", "0.30", "2,000", "1.0 / 2.0", "3.0 / 4.0"]
    assert rows[1] == ["100,000", "0.500", "0.750", "40.0"]
    path = tmp_path / "runs.json"
    path.write_text(json.dumps(runs))
    assert table(load_runs(path), PACED) == markdown
    # Without the rows at all, and with --scale-topics given no sizes.
    for each in runs:
        del each["limit"], each["apply_limit"]
        each["scale"] = {}
    assert "| 100,000 |" not in table(runs, PACED)
    for each in runs:
        del each["scale"]
    assert "| 100,000 |" not in table(runs, PACED)
