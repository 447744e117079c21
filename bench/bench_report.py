"""The ceiling benchmark's report: the median of its runs in one table in
RESULTS.md, with the machine and the date, and a chart of throughput and
ceiling against linked items in throughput.png.

A run is a dict: "ceiling" {size: updates/s}, the mean of "ceilings" {size:
[before, after]} (measured just before and just after the program; absent
in older runs), and for each window state
measured ("shown", "hidden") the program's figures: "throughput" {size:
updates/s}, "latency" {p50, p99, max}, "staleness" {p50, max}, "replay",
"footprint"; and "rtd" {size: {"throughput", "round_trip" {p50, p99},
"age" {p50, p99}}}, measured with the window hidden (absent in older runs);
and the feeds at scale (absent in older runs): "scale" {topics:
{"throughput" {batch: updates/s}, "round_trip" and "age" {batch: {p50,
p99}}, "replay", "snapshot", "footprint"}} and "limit" {batch: updates/s of
read_updates alone}."""

import datetime
import json
import os
import platform
import statistics
import subprocess
from pathlib import Path

TARGET = 0.95

WINDOWS = ["shown", "hidden"]
WINDOW_NAMES = {"shown": "window shown", "hidden": "window hidden"}
STALENESS_NOTE = ("Staleness: Wine's DDE library queues advise data without bound for a client "
                  "that falls behind, so the age grows for as long as the rate lasts.")


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
    return sorted(runs[0]["ceiling"])


def windows_of(runs):
    """The window states the runs measured, in the table's order."""
    return [window for window in WINDOWS if window in runs[0]]


def load_runs(path):
    """The runs as runs.json holds them, with the sizes as numbers again."""
    runs = json.loads(Path(path).read_text())
    for run in runs:
        for key in ("ceiling", "ceilings"):
            if key in run:
                run[key] = {int(size): value for size, value in run[key].items()}
        if "rtd" in run:
            run["rtd"] = {int(size): value for size, value in run["rtd"].items()}
        if "scale" in run:
            run["scale"] = {int(topics): {key: ({int(b): v for b, v in value.items()}
                                                if isinstance(value, dict) else value)
                                          for key, value in figures.items()}
                            for topics, figures in run["scale"].items()}
            for key in ("limit", "apply_limit"):
                if key in run:
                    run[key] = {int(batch): value for batch, value in run[key].items()}
        for window in windows_of(runs):
            throughput = run[window]["throughput"]
            run[window]["throughput"] = {int(size): value for size, value in throughput.items()}
    return runs


def ratio(runs, window, size):
    """The median of each run's program-to-ceiling ratio: each pair was
    measured close together, so the machine's drift mostly cancels in it."""
    return statistics.median(run[window]["throughput"][size] / run["ceiling"][size]
                             for run in runs)


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
    """The table of medians, in Markdown, with the note under it; `paced`
    holds the settings of the latency and staleness runs (fields, rate,
    busy_ms, stale_updates)."""
    windows = windows_of(runs)
    rows = ["| measure | linked items | platform ceiling | "
            + " | ".join("%s | %s / ceiling" % (WINDOW_NAMES[w], w) for w in windows) + " |",
            "|---|---:|---:|" + "---:|---|" * len(windows)]

    def row(measure, items, ceiling, cells):
        return "| %s | %s | %s | %s |" % (measure, items, ceiling, " | ".join(
            "%s | %s" % cell for cell in cells))

    for size in sizes_of(runs):
        cells = []
        for window in windows:
            share = ratio(runs, window, size)
            cells.append(("{:,.0f}".format(median_of(runs, window, "throughput", size)),
                          "%.2f%s" % (share, "" if share >= TARGET else " (below %.2f)" % TARGET)))
        rows.append(row("throughput, updates/s", "{:,}".format(size),
                        "{:,.0f}".format(median_of(runs, "ceiling", size)), cells))
    rows.extend(rtd_rows(runs, windows, row, paced))
    largest = "{:,}".format(sizes_of(runs)[-1])
    fields = "{:,}".format(paced["fields"])
    rows.append(row("latency at {:,} updates/s, ms: p50 / p99 / max".format(paced["rate"]), fields,
                    "", [("{:.2f} / {:.2f} / {:.1f}".format(
                        median_of(runs, w, "latency", "p50"), median_of(runs, w, "latency", "p99"),
                        median_of(runs, w, "latency", "max")), "") for w in windows]))
    rows.append(row("staleness: {:,} updates at {:,}/s into a client busy {} ms over each, age "
                    "p50 / max, ms".format(paced["stale_updates"], paced["rate"], paced["busy_ms"]),
                    fields, "", [("{:,.0f} / {:,.0f}".format(
                        median_of(runs, w, "staleness", "p50"),
                        median_of(runs, w, "staleness", "max")), "") for w in windows]))
    rows.append(row("replay: connect to the last request, s", largest, "",
                    [("%.3f" % median_of(runs, w, "replay"), "") for w in windows]))
    rows.append(row("footprint: peak memory, MiB", largest, "",
                    [("%.1f" % median_of(runs, w, "footprint"), "") for w in windows]))
    scale = scale_table(runs)
    return "\n".join(rows) + "\n\n" + STALENESS_NOTE + ("\n\nFeeds at scale (window hidden):\n\n" + scale
                                                       if scale else "")


# The goals of the feeds-at-scale rows.
SCALE_GOALS = ("Goals: with batches of 1,000 at 100,000 topics, at least 250,000 updates/s absorbed "
               "and at least half of read_updates' own rate; the replay of 100,000 requests under 1 s; "
               "under 64 MiB of memory with 100,000 topics.")


def scale_table(runs):
    """The feeds-at-scale rows in a table of their own, in Markdown: by RTD
    topics and batch size the updates a second absorbed, their share of
    read_updates' own rate on the same payloads (the limit, measured in the
    same run), and the round trip and age at a refresh; then the replay and
    the one-message snapshot, and the peak memory. Empty when the runs have
    no such figures."""
    # --scale-topics with no sizes leaves the figures empty.
    if not runs[0].get("scale"):
        return ""
    topics_sizes = sorted(int(t) for t in runs[0]["scale"])
    batches = sorted(int(b) for b in runs[0]["limit"])

    def median(fn):
        return statistics.median(fn(run) for run in runs)

    # apply_update alone: the program's own update path, without the socket and COM.
    def applied(batch):
        return ("{:,.0f}".format(median(lambda r: r["apply_limit"][batch])) if "apply_limit" in runs[0]
                else "")

    rows = ["| RTD topics | updates a message | absorbed, updates/s | read_updates alone, updates/s | "
            "absorbed / alone | apply_update alone, updates/s | RefreshData round trip, ms: p50 / p99 | "
            "age at its refresh, ms: p50 / p99 |",
            "|---:|---:|---:|---:|---:|---:|---|---|"]
    for topics in topics_sizes:
        for batch in batches:
            absorbed = median(lambda r: r["scale"][topics]["throughput"][batch])
            alone = median(lambda r: r["limit"][batch])
            share = median(lambda r: r["scale"][topics]["throughput"][batch] / r["limit"][batch])
            trip = [median(lambda r: r["scale"][topics]["round_trip"][batch][q]) for q in ("p50", "p99")]
            age = [median(lambda r: r["scale"][topics]["age"][batch][q]) for q in ("p50", "p99")]
            rows.append("| {:,} | {:,} | {:,.0f} | {:,.0f} | {:.2f} | {} | {:.1f} / {:.1f} | {:.1f} / {:.1f} |".format(
                topics, batch, absorbed, alone, share, applied(batch), *trip, *age))
    if "throttled" in runs[0]:
        throttled = runs[0]["throttled"]
        batch = throttled["batch"]
        rows.append("| {:,} | {:,}, Excel's default throttle ({:,} ms) | {:,.0f} | {:,.0f} | {:.2f} | {} | | |".format(
            throttled["topics"], batch, throttled["throttle_ms"],
            median(lambda r: r["throttled"]["throughput"]), median(lambda r: r["limit"][batch]),
            median(lambda r: r["throttled"]["throughput"] / r["limit"][batch]), applied(batch)))
    rows += ["", "| RTD topics | replay: connect to the last request, s | one-message snapshot: connect to "
             "its last update in a refresh, s | peak memory, MiB |", "|---:|---:|---:|---:|"]
    for topics in topics_sizes:
        rows.append("| {:,} | {:.3f} | {:.3f} | {:.1f} |".format(
            topics, *[median(lambda r: r["scale"][topics][key]) for key in ("replay", "snapshot", "footprint")]))
    return "\n".join(rows) + "\n\n" + SCALE_GOALS


def rtd_rows(runs, windows, row, paced):
    """The RTD rows, in the hidden window's column (where they were
    measured), the throughput beside the DDE throughput of the same runs."""
    sizes = sorted(int(size) for size in runs[0].get("rtd", {}))
    column = windows.index("hidden") if "hidden" in windows else len(windows) - 1

    def cells(value, note=""):
        return [(value, note) if i == column else ("", "") for i in range(len(windows))]

    rows = []
    for size in sizes:
        absorbed = median_of(runs, "rtd", size, "throughput")
        note = ""
        if windows[column] in runs[0] and size in runs[0][windows[column]]["throughput"]:
            note = "%.1f x DDE" % statistics.median(
                run["rtd"][size]["throughput"] / run[windows[column]]["throughput"][size] for run in runs)
        rows.append(row("RTD: updates/s absorbed, Excel refreshing at once", "{:,} topics".format(size),
                        "", cells("{:,.0f}".format(absorbed), note)))
        for figure, measure in (("round_trip", "RTD: RefreshData round trip at {:,} updates/s, ms: p50 / p99"),
                                ("age", "RTD: age of each value at its refresh at {:,} updates/s, ms: p50 / p99")):
            measure = measure.format(paced["rate"])
            rows.append(row(measure, "{:,} topics".format(size), "", cells("{:,.1f} / {:,.1f}".format(
                median_of(runs, "rtd", size, figure, "p50"), median_of(runs, "rtd", size, figure, "p99")))))
    return rows


def ceiling_cell(run, size):
    """The run's ceiling, with the two it is the mean of when there are two."""
    if size not in run.get("ceilings", {}):
        return "{:,.0f}".format(run["ceiling"][size])
    return "{:,.0f} ({:,.0f}, {:,.0f})".format(run["ceiling"][size], *run["ceilings"][size])


def runs_table(runs):
    """Each run's throughput, to show how far the runs spread."""
    sizes = sizes_of(runs)
    windows = windows_of(runs)
    rows = ["| run | " + " | ".join("{:,} linked: ceiling / {}".format(
                n, " / ".join(windows)) for n in sizes) + " |",
            "|---|" + "---:|" * len(sizes)]
    for number, run in enumerate(runs, 1):
        rows.append("| %d | %s |" % (number, " | ".join(
            "{} / {}".format(ceiling_cell(run, n), " / ".join(
                "{:,.0f} ({:.2f})".format(run[w]["throughput"][n],
                                          run[w]["throughput"][n] / run["ceiling"][n])
                for w in windows))
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
    styles = {"shown": ("o-", "#1f5fa8"), "hidden": ("s:", "#c4572a")}
    for window in windows_of(runs):
        marker, colour = styles[window]
        ax.plot(sizes, [median_of(runs, window, "throughput", s) for s in sizes], marker,
                color=colour, label="vantrel.exe, %s, fed as fast as it reads"
                % WINDOW_NAMES[window])
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


def write_results(runs, folder, took, paced, load=None):
    """Writes RESULTS.md and throughput.png into `folder`; gives their paths.
    `load`: the machine's 1-minute load average before and after the runs."""
    folder = Path(folder)
    results = folder / "RESULTS.md"
    picture = folder / "throughput.png"
    chart(runs, picture)
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    loaded = " Load average (1 minute) %.2f before, %.2f after." % load if load else ""
    results.write_text(
        "# vantrel.exe against the platform's ceiling\n\n"
        "Machine: %s.  \nDate: %s; %d runs, every figure their median; the whole benchmark "
        "took %.0f minutes.%s\n\n%s\n\n![Throughput and ceiling against linked items](%s)\n\n"
        "The ceiling is a minimal DDE server that answers advise loops from memory and posts in "
        "a tight loop, handling the client's acknowledgements only after every batch of posts, "
        "as the program does after every read from the feed; the program is fed by a feed client "
        "on Node's ws as fast as it reads. Both are counted by the same DDE client (Wine's DDE "
        "library, text format, acknowledgements requested). Each run measures the program with its "
        "window on the screen, as it starts, and hidden in the tray, the two in alternating "
        "order, between two measurements of the ceiling, whose mean is the run's ceiling (the "
        "two in brackets below): each ratio is the median of the runs' ratios. Absolute "
        "figures vary a lot from run to run on this machine, the ratios much less. Wine's DDE "
        "library searches its links one by one, so every update costs more as links grow: at "
        "10,000 items both servers spend a whole core comparing the item with every link, twice "
        "an update, and how fast that loop runs differs from one process to the next of the same "
        "server, so the ratio there spreads most. At 1 and 100 items the busiest process is "
        "Wine's server, which carries every posted message."
        "\n\nThe runs, updates/s:\n\n%s\n" % (
            machine(), now, len(runs), took / 60, loaded, table(runs, paced), picture.name,
            runs_table(runs)))
    return [results, picture]
