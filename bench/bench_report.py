"""The ceiling benchmark's report: the median of its runs in one table in
RESULTS.md, with the machine and the date, and a chart of throughput and
ceiling against linked items in throughput.png."""

import datetime
import json
import os
import platform
import statistics
import subprocess
from pathlib import Path

TARGET = 0.95

WINDOW_NOTE = {
    "hidden": "The program's window is hidden in the tray, where it usually sits.",
    "shown": "The program's window is shown on the screen and repainted as values arrive.",
}
STALENESS_NOTE = ("Wine's DDE library queues advise data without bound for a client that "
                  "falls behind: the age grows for as long as the rate lasts")


def median_of(runs, *path):
    """The median over the runs of the figure at `path` (keys, in order)."""
    values = []
    for run in runs:
        value = run
        for key in path:
            value = value[key]
        values.append(value)
    return statistics.median(values)


def sizes_of(runs):
    return sorted(runs[0]["throughput"])


def load_runs(path):
    """The runs as runs.json holds them, with the sizes as numbers again."""
    runs = json.loads(Path(path).read_text())
    for run in runs:
        for key in ("ceiling", "throughput"):
            run[key] = {int(size): value for size, value in run[key].items()}
    return runs


def ratio(runs, size):
    """The median of each run's program-to-ceiling ratio: each pair was
    measured back to back, so the machine's drift cancels in it."""
    return statistics.median(run["throughput"][size] / run["ceiling"][size] for run in runs)


def machine():
    cpu = "unknown processor"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        wine = subprocess.run(["wine", "--version"], capture_output=True, text=True,
                              timeout=30).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        wine = "wine (version unknown)"
    return "%s, %d cores, Linux %s, %s (null driver)" % (cpu, os.cpu_count(), platform.release(),
                                                         wine)


def table(runs, paced):
    """The table of medians, in Markdown; `paced` holds the settings of the
    latency and staleness runs (fields, rate, busy_ms, stale_updates)."""
    rows = ["| measure | linked items | platform ceiling | program | program / ceiling |",
            "|---|---:|---:|---:|---|"]
    for size in sizes_of(runs):
        share = ratio(runs, size)
        rows.append("| throughput, updates/s | %s | %s | %s | %.2f%s |" % (
            "{:,}".format(size), "{:,.0f}".format(median_of(runs, "ceiling", size)),
            "{:,.0f}".format(median_of(runs, "throughput", size)), share,
            "" if share >= TARGET else " (below %.2f)" % TARGET))
    largest = "{:,}".format(sizes_of(runs)[-1])
    fields = "{:,}".format(paced["fields"])
    rows.append("| latency at {:,} updates/s, ms: p50 / p99 / max | {} | | {:.2f} / {:.2f} / {:.1f} | |"
                .format(paced["rate"], fields, median_of(runs, "latency", "p50"),
                        median_of(runs, "latency", "p99"), median_of(runs, "latency", "max")))
    rows.append("| staleness: {:,} updates at {:,}/s into a client busy {} ms over each, age "
                "p50 / max, ms | {} | | {:,.0f} / {:,.0f} | {} |"
                .format(paced["stale_updates"], paced["rate"], paced["busy_ms"], fields,
                        median_of(runs, "staleness", "p50"), median_of(runs, "staleness", "max"),
                        STALENESS_NOTE))
    rows.append("| replay: connect to the last request, s | %s | | %.3f | |"
                % (largest, median_of(runs, "replay")))
    rows.append("| footprint: peak memory, MiB | %s | | %.1f | |"
                % (largest, median_of(runs, "footprint")))
    return "\n".join(rows)


def runs_table(runs):
    """Each run's throughput pairs, to show how far the runs spread."""
    sizes = sizes_of(runs)
    rows = ["| run | " + " | ".join("{:,} linked: ceiling / program".format(n) for n in sizes) + " |",
            "|---|" + "---:|" * len(sizes)]
    for number, run in enumerate(runs, 1):
        rows.append("| %d | %s |" % (number, " | ".join(
            "{:,.0f} / {:,.0f} ({:.2f})".format(run["ceiling"][n], run["throughput"][n],
                                                run["throughput"][n] / run["ceiling"][n])
            for n in sizes)))
    return "\n".join(rows)


def chart(runs, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    sizes = sizes_of(runs)
    fig, ax = plt.subplots(figsize=(7, 4.2), dpi=100)
    ax.plot(sizes, [median_of(runs, "ceiling", s) for s in sizes], "o--", color="#777777",
            label="platform ceiling (minimal DDE server)")
    ax.plot(sizes, [median_of(runs, "throughput", s) for s in sizes], "o-", color="#1f5fa8",
            label="vantrel.exe, fed as fast as it reads")
    ax.set_xscale("log")
    ax.set_yscale("log")
    plain = matplotlib.ticker.FuncFormatter(lambda value, _: "{:,.0f}".format(value))
    ax.xaxis.set_major_formatter(plain)
    ax.yaxis.set_major_formatter(plain)
    ax.yaxis.set_minor_formatter(plain)
    ax.set_xlabel("linked items (advise loops)")
    ax.set_ylabel("updates/s at the DDE client")
    ax.set_title("Throughput under Wine, median of %d runs" % len(runs))
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


README_START = "<!-- ceiling benchmark: start -->"
README_END = "<!-- ceiling benchmark: end -->"


def quote_in_readme(readme, runs, paced):
    """Puts the table between the README's two markers; gives whether the
    README has them."""
    text = Path(readme).read_text()
    start, end = text.find(README_START), text.find(README_END)
    if start < 0 or end < start:
        return False
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d")
    quoted = "%s\nLatest run (%s, %s; median of %d runs):\n\n%s\n" % (
        README_START, now, machine(), len(runs), table(runs, paced))
    Path(readme).write_text(text[:start] + quoted + text[end:])
    return True


def write_results(runs, folder, took, paced):
    """Writes RESULTS.md and throughput.png into `folder`; gives their paths."""
    folder = Path(folder)
    results = folder / "RESULTS.md"
    picture = folder / "throughput.png"
    chart(runs, picture)
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    results.write_text(
        "# vantrel.exe against the platform's ceiling\n\n"
        "Machine: %s.  \nDate: %s; %d runs, every figure their median; the whole benchmark "
        "took %.0f minutes.\n\n%s\n\n![Throughput and ceiling against linked items](%s)\n\n"
        "The ceiling is a minimal DDE server that answers advise loops from memory and posts in "
        "a tight loop; the program is fed by a feed client on Node's ws as fast as it reads. Both "
        "are counted by the same DDE client (Wine's DDE library, text format, acknowledgements "
        "requested), and each run measures the two back to back: the ratio is the median of the "
        "runs' ratios. Absolute figures vary a lot from run to run on this machine, the ratio "
        "much less. Wine's DDE library searches its links one by one, so every update costs more "
        "as links grow. %s\n\nThe runs, updates/s:\n\n%s\n" % (
            machine(), now, len(runs), took / 60, table(runs, paced), picture.name,
            WINDOW_NOTE[paced.get("window", "hidden")], runs_table(runs)))
    return [results, picture]
