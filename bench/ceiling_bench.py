#!/usr/bin/python3
"""vantrel.exe against the ceiling of the platform it runs on, under Wine
with the null driver.

- ceiling: dde_ceiling.exe, a DDE server that answers advise loops from
  memory and posts advises in a tight loop, counted by dde_count.exe, a DDE
  client on the DDE management library in text format;
- throughput: vantrel.exe fed by bench/feed/feed_client.js (Node's ws) as
  fast as it reads, counted by the same client, at every size of SIZES,
  between two measurements of the ceiling, whose mean is the run's ceiling;
- latency at a fixed 1,000 updates a second: the age of every value at the
  DDE client (p50, p99, max);
- staleness: the same rate into a client that takes 2 ms over every update;
- replay: from connecting to the last of the program's requests, with the
  largest size's fields; footprint: the program's peak memory then;
- feeds at scale, at every size of SCALE_TOPICS: the updates a second
  absorbed with messages of 1, 100 and 1,000 updates (with the round trips
  and ages then), the replay of every field to a new feed client and its
  answer in one message, the peak memory; and the limit, read_updates
  alone (read_updates_bench.exe) on the same payloads;
- RTD, at every size of RTD_SIZES measured: bench/rtd/rtd_count.exe plays
  an Excel whose throttle interval is 0 (RefreshData at once after each
  UpdateNotify) on that many topics, the window hidden: the updates a second
  the program absorbs while the same feed client floods it (from the first
  update sent until a last one, sent after all others, is in a refresh),
  and at PACED_RATE each RefreshData's round trip and the age of every value
  a refresh carries (p50, p99); beside the DDE rows of the same run.

Every program figure is measured twice in each run: with the window on the
screen, as the program starts, and hidden in the tray, where it usually
sits (--windows picks one); the order of the two alternates from run to run.

Every figure is the median of --runs runs (default 3). Writes RESULTS.md,
throughput.png and the runs' figures (runs.json) into --output; into
bench/, the default, it also quotes the table in the README. Run it with
scripts/bench.sh, which installs what it needs first; port 8902 must be free.
"""

import argparse
import contextlib
import json
import os
import statistics
import sys
import time
from pathlib import Path

from bench_report import quote_in_readme, write_results
from wine_bench import bench_wine
from harness import local
from harness.rtd import copy_classes_to_hklm
from harness.wine import REPO, require_executables, serving_vantrel

FEED_CLIENT = REPO / "bench" / "feed" / "feed_client.js"
CEILING = ("VantrelCeiling", "Quote")
PROGRAM = ("Quellvarden", "Quote")
DDE_NO_SERVER = 2
WINDOWS = ["shown", "hidden"]

SIZES = [1, 100, 1000, 10000]
# Updates counted at each size. Wine's DDE library searches its links one by
# one, so each update costs more as links grow (10,000 links: about 160 a
# second, and 40 s to link them); with these a full run takes 9 to 10 minutes.
UPDATES = {1: 30000, 100: 30000, 1000: 6000, 10000: 3000}
# Topics connected for the RTD rows, and the updates the feed floods then.
RTD_SIZES = [1000, 10000]
RTD_UPDATES = 30000
RTD_PACED_UPDATES = 5000
# Feeds at scale: RTD topics connected, updates a message, and the updates
# sent at each batch size; RapidJSON's reader alone reads the same payloads.
SCALE_TOPICS = [10000, 100000]
SCALE_BATCHES = [1, 100, 1000]
SCALE_UPDATES = 300000
# Between two phases, so that each phase is absorbed alone.
SCALE_PAUSE_MS = 3000
# The same at Excel's default throttle interval: the largest batch at the
# most topics, with enough updates that the socket's slack and the last
# refresh's wait weigh little.
EXCEL_THROTTLE_MS = 2000
THROTTLED_UPDATES = 3000000
# Latency and staleness: this many fields at this rate.
PACED_FIELDS = 100
PACED_RATE = 1000
LATENCY_UPDATES = 5000
STALE_UPDATES = 3000
BUSY_MS = 2

FIELD_NAMES = ["lastprice", "bid", "ask", "high", "low", "open", "close", "volume", "turnover",
               "time"]
# Seconds: the hard limit of every wait.
LIMIT = 600
# What the window's close box sends: the program hides in the tray.
WM_SYSCOMMAND, SC_CLOSE = 0x112, 0xF060
WM_COMMAND, IDM_VIEW_LINKS = 0x111, 107


def item_names(count):
    """`count` items as a sheet holds them: ten fields an instrument."""
    return ["%d.%s" % (1000 + i // 10, FIELD_NAMES[i % 10]) for i in range(count)]


class Lab:
    """Starts the benchmark's processes through the harness's Wine runner;
    every output lands in its log folder (build/artifacts/bench/)."""

    def __init__(self, wine, drain_every=None):
        self.wine = wine
        self.drain_every = drain_every
        self.feeds = 0

    @contextlib.contextmanager
    def vantrel(self, window, links_window=False):
        """vantrel.exe, serving, its window as it starts ("shown") or hidden
        in the tray by its close box ("hidden"); with links_window, its
        Links window open (View > Links) as well."""
        with serving_vantrel(self.wine) as app:
            if window == "hidden":
                hidden = self.wine.winctl("post", "--class", "VANTREL", "0x%x" % WM_SYSCOMMAND,
                                          "0x%x" % SC_CLOSE)
                if hidden.returncode != 0:
                    sys.exit("cannot hide the program's window\n%s" % hidden)
            if links_window:
                opened = self.wine.winctl("post", "--class", "VANTREL", "0x%x" % WM_COMMAND,
                                          IDM_VIEW_LINKS)
                found = self.wine.winctl("find", "--class", "VANTREL_LINKS", timeout=30)
                if opened.returncode != 0 or found.returncode != 0:
                    sys.exit("cannot open the Links window\n%s\n%s" % (opened, found))
            yield app

    def items_file(self, count):
        path = self.wine.log_dir / ("items-%d.txt" % count)
        if not path.exists():
            path.write_text("".join(item + "\n" for item in item_names(count)))
        return path

    def feed(self, mode, fields, *args):
        """The Node feed client."""
        self.feeds += 1
        return local.start(["node", FEED_CLIENT, mode, "--fields", fields] + list(args),
                           self.wine, "feed-%03d" % self.feeds)

    def count_updates(self, service, fields, updates, *args):
        """dde_count linked to `fields` items, until `updates` have come."""
        return self.wine.start("dde_count.exe", "--service", service[0], "--topic", service[1],
                               "--items-from", self.items_file(fields), "--count", updates,
                               "--timeout", LIMIT, *args)


def finish(counter):
    """Waits for a counting client; its "received" line as (count, first, last)."""
    code = counter.wait(LIMIT + 30)
    if code != 0:
        sys.exit("the DDE client did not count every update\n%s" % counter.result())
    words = local.output_line(counter, "received ").split()
    return int(words[1]), int(words[3]), int(words[5])


def rate(received):
    count, first, last = received
    return (count - 1) / ((last - first) / 1e6)


def count_ceiling(lab, fields, updates, *count_args):
    """The counting client's (count, first, last) for `updates` advises
    from the minimal server on `fields` items."""
    drain = ["--drain-every", lab.drain_every] if lab.drain_every else []
    server = lab.wine.start("dde_ceiling.exe", "--service", CEILING[0], "--topic", CEILING[1],
                            "--items-from", lab.items_file(fields), "--count", updates,
                            "--timeout", LIMIT, *drain)
    try:
        # The server's name must be registered before the client looks for it.
        deadline = time.monotonic() + 30
        while True:
            counter = lab.count_updates(CEILING, fields, updates, *count_args)
            if counter.wait(LIMIT + 30) != DDE_NO_SERVER:
                break
            if time.monotonic() > deadline or not server.running():
                sys.exit("dde_ceiling does not serve\n%s" % server.result())
            time.sleep(0.2)
        return finish(counter)
    finally:
        server.wait(60)


def ceiling(lab, fields):
    """Updates a second from the minimal server to the counting client."""
    return rate(count_ceiling(lab, fields, UPDATES[fields]))


def peak_memory_mib(proc):
    """The process's peak resident memory (Wine runs the program in the
    process it was started as)."""
    status = Path("/proc/%d/status" % proc.popen.pid).read_text()
    for line in status.splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def program(lab, fields, window, extra=False, links_window=False):
    """Updates a second through vantrel.exe; with `extra`, also the replay
    of every field to a new feed client and the program's peak memory."""
    updates = UPDATES[fields]
    figures = {}
    with lab.vantrel(window, links_window) as app:
        feed = lab.feed("flood", fields, "--count", updates)
        try:
            figures["throughput"] = rate(finish(lab.count_updates(PROGRAM, fields, updates)))
        finally:
            local.stop(feed)
        if extra:
            figures["replay"] = replay(lab, fields)
            figures["footprint"] = peak_memory_mib(app)
    return figures


def replay(lab, fields):
    """Seconds from a new feed client's connecting to its last request. The
    program may not have seen the previous client go yet, and then closes
    the new one at once: that try is repeated."""
    for _ in range(5):
        client = lab.feed("replay", fields)
        if client.wait(LIMIT) == 0:
            return float(local.output_line(client, "asked ").split()[3])
        time.sleep(0.5)
    sys.exit("no feed client got the replay\n%s" % client.result())


def read_ms(path):
    """A file of microseconds, one a line, in milliseconds."""
    return [int(line) / 1000 for line in path.read_text().split()]


def paced(lab, window, updates, *count_args):
    """The ages (ms) of `updates` values sent at PACED_RATE a second."""
    ages = lab.wine.log_dir / ("ages-%03d.txt" % lab.feeds)
    with lab.vantrel(window):
        feed = lab.feed("paced", PACED_FIELDS, "--count", updates, "--rate", PACED_RATE)
        try:
            finish(lab.count_updates(PROGRAM, PACED_FIELDS, updates, "--ages", ages, *count_args))
        finally:
            local.stop(feed)
    return read_ms(ages)


def rtd_phase(lab, fields, *feed_args):
    """One rtd_count run on `fields` topics, the window hidden, while the
    feed client sends as `feed_args` say and then its last update; gives
    the feed's first time stamp, rtd_count's last one, and its round trips
    and ages (ms)."""
    require_executables("rtd_count.exe")
    stem = lab.wine.log_dir / ("rtd-%d-%03d" % (fields, lab.feeds))
    round_trips, ages = Path(str(stem) + "-round-trips.txt"), Path(str(stem) + "-ages.txt")
    with lab.vantrel("hidden"):
        copy_classes_to_hklm(lab.wine)
        excel = lab.wine.start("rtd_count.exe", "--items-from", lab.items_file(fields),
                               "--round-trips", round_trips, "--ages", ages, "--timeout", LIMIT)
        local.output_line(excel, "connected ", limit=LIMIT)
        feed = lab.feed(*feed_args, "--last", 1)
        try:
            if excel.wait(LIMIT + 30) != 0:
                sys.exit("rtd_count did not see the last update\n%s" % excel.result())
            sending = int(local.output_line(feed, "sending_us ").split()[1])
        finally:
            local.stop(feed)
    last = int(local.output_line(excel, "refreshes ").split()[5])
    return sending, last, read_ms(round_trips), read_ms(ages)


def rtd(lab, fields):
    """The RTD figures with `fields` topics connected: the updates a second
    the program absorbs from a flood, and at PACED_RATE the round trips and
    the ages (a flood's values wait in the socket, which would swamp them)."""
    sending, last, _, _ = rtd_phase(lab, fields, "flood", fields, "--count", RTD_UPDATES)
    _, _, trips, aged = rtd_phase(lab, fields, "paced", fields, "--count", RTD_PACED_UPDATES,
                                  "--rate", PACED_RATE)
    return {"throughput": RTD_UPDATES / ((last - sending) / 1e6),
            "round_trip": {"p50": percentile(trips, 0.5), "p99": percentile(trips, 0.99)},
            "age": {"p50": percentile(aged, 0.5), "p99": percentile(aged, 0.99)}}


def phase_figures(path, bounds):
    """The numbers of a "time number" file (microseconds) that fall in each
    of `bounds` [(start, end)], in milliseconds: p50 and p99 of each."""
    found = [[] for _ in bounds]
    for line in path.read_text().splitlines():
        at, number = (int(word) for word in line.split())
        for k, (start, end) in enumerate(bounds):
            if start <= at <= end:
                found[k].append(number / 1000)
                break
    return [{"p50": percentile(f, 0.5), "p99": percentile(f, 0.99)} if f else
            {"p50": float("nan"), "p99": float("nan")} for f in found]


def scale(lab, topics, batches, updates):
    """At `topics` RTD topics, the window hidden: for each batch size, the
    updates a second the program absorbs while the feed floods it in
    messages of that many updates (from the later of the phase's first send
    and the end of the phase before, until the refresh that carries the
    phase's marker), with each RefreshData's round trip and each value's
    age at its refresh during the phase; then a new feed client's replay
    (connect to the last request) and its answer in one message (connect to
    the refresh that carries its last update); the program's peak memory."""
    require_executables("rtd_count.exe")
    stem = lab.wine.log_dir / ("scale-%d-%03d" % (topics, lab.feeds))
    round_trips, ages = Path(str(stem) + "-round-trips.txt"), Path(str(stem) + "-ages.txt")
    figures = {"throughput": {}, "round_trip": {}, "age": {}}
    with lab.vantrel("hidden") as app:
        copy_classes_to_hklm(lab.wine)
        excel = lab.wine.start("rtd_count.exe", "--items-from", lab.items_file(topics), "--round-trips",
                               round_trips, "--ages", ages, "--timeout", LIMIT, "--markers",
                               len(batches) + 1)
        local.output_line(excel, "connected ", limit=LIMIT)
        feed = lab.feed("flood", topics, "--count", updates, "--batches", ",".join(map(str, batches)),
                        "--pause", SCALE_PAUSE_MS)
        try:
            local.output_line(excel, "marker %d " % len(batches), limit=LIMIT)
            starts = [int(line.split()[3]) for line in feed.output().splitlines()
                      if line.startswith("phase ")]
        finally:
            local.stop(feed)
        for _ in range(5):
            snapshot = lab.feed("snapshot", topics, "--last", len(batches) + 1)
            time.sleep(2)
            if snapshot.running() or snapshot.popen.returncode == 0:
                break
        if excel.wait(LIMIT + 30) != 0:
            sys.exit("rtd_count did not see every marker\n%s" % excel.result())
        connect = int(local.output_line(snapshot, "connect_us ").split()[1])
        figures["replay"] = float(local.output_line(snapshot, "asked ").split()[3])
        local.stop(snapshot)
        figures["footprint"] = peak_memory_mib(app)
    ends = {int(line.split()[1]): int(line.split()[3]) for line in excel.output().splitlines()
            if line.startswith("marker ")}
    figures["snapshot"] = (ends[len(batches) + 1] - connect) / 1e6
    bounds = []
    for k, batch in enumerate(batches, 1):
        start = max(starts[k - 1], ends.get(k - 1, 0))
        bounds.append((start, ends[k]))
        figures["throughput"][batch] = updates / ((ends[k] - start) / 1e6)
    for batch, trip, age in zip(batches, phase_figures(round_trips, bounds), phase_figures(ages, bounds)):
        figures["round_trip"][batch], figures["age"][batch] = trip, age
    return figures


def scale_throttled(lab, topics, batch, updates):
    """At `topics` RTD topics, with an Excel that refreshes at most once per
    EXCEL_THROTTLE_MS, as Excel does by default: the updates a second the
    program absorbs in messages of `batch` updates, from the phase's first
    send until its last update is in the socket (the program reads as fast
    as it can, so the feed goes at its pace), once the refresh that carries
    the phase's marker shows that every update was applied."""
    require_executables("rtd_count.exe")
    with lab.vantrel("hidden"):
        copy_classes_to_hklm(lab.wine)
        excel = lab.wine.start("rtd_count.exe", "--items-from", lab.items_file(topics), "--timeout", LIMIT,
                               "--markers", 1, "--throttle", EXCEL_THROTTLE_MS)
        local.output_line(excel, "connected ", limit=LIMIT)
        feed = lab.feed("flood", topics, "--count", updates, "--batches", batch)
        try:
            local.output_line(excel, "marker 1 ", limit=LIMIT)
            times = {line.split()[2]: int(line.split()[3]) for line in feed.output().splitlines()
                     if line.startswith("phase ")}
        finally:
            local.stop(feed)
        if excel.wait(LIMIT + 30) != 0:
            sys.exit("rtd_count did not see the marker\n%s" % excel.result())
    return updates / ((times["written_us"] - times["sending_us"]) / 1e6)


def limit(lab, topics, batches, updates, apply=False):
    """RapidJSON's reader alone (read_updates) on the feed client's payloads
    under Wine, updates a second by batch size; with apply, the program's
    whole update path without the socket and COM (apply_update, storing each
    value and marking its RTD topic, `topics` of them connected)."""
    require_executables("read_updates_bench.exe")
    result = lab.wine.run("read_updates_bench.exe", "--fields", topics, "--updates", updates, "--batches",
                          ",".join(map(str, batches)), *(["--apply"] if apply else []), limit=LIMIT)
    if result.returncode != 0:
        sys.exit("read_updates_bench failed\n%s" % result)
    rates = {}
    for line in result.stdout.splitlines():
        words = line.split()
        if words and words[0] == "batch":
            rates[int(words[1])] = float(words[7])
    return rates


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def scale_runs(lab, run, log, scale_topics, batches, updates):
    """The feeds-at-scale figures of one run, into run["scale"] and run["limit"]."""
    run["scale"] = {}
    for topics in scale_topics:
        figures = run["scale"][topics] = scale(lab, topics, batches, updates)
        log("  %6d RTD topics: %s updates/s absorbed by batch size; replay %.3f s, snapshot in a "
            "refresh %.3f s; peak memory %.1f MiB"
            % (topics, ", ".join("%d: %.0f" % (b, figures["throughput"][b]) for b in batches),
               figures["replay"], figures["snapshot"], figures["footprint"]))
    if scale_topics:
        topics, batch = max(scale_topics), max(batches)
        run["throttled"] = {"topics": topics, "batch": batch, "throttle_ms": EXCEL_THROTTLE_MS,
                            "throughput": scale_throttled(lab, topics, batch, THROTTLED_UPDATES)}
        log("  %6d RTD topics, Excel's default throttle (%d ms): %.0f updates/s absorbed in batches of %d"
            % (topics, EXCEL_THROTTLE_MS, run["throttled"]["throughput"], batch))
        run["limit"] = limit(lab, topics, batches, updates)
        log("  read_updates alone: %s updates/s by batch size"
            % ", ".join("%d: %.0f" % (b, run["limit"][b]) for b in batches))
        run["apply_limit"] = limit(lab, topics, batches, updates, apply=True)
        log("  apply_update alone: %s updates/s by batch size"
            % ", ".join("%d: %.0f" % (b, run["apply_limit"][b]) for b in batches))


def one_run(lab, sizes, windows, log, rtd_sizes=RTD_SIZES):
    """Every figure of one run, as a dict: the ceiling by size, and the
    program's figures under each window state."""
    run = {"ceiling": {}, "ceilings": {}}
    for window in windows:
        run[window] = {"throughput": {}}
    for fields in sizes:
        # The ceiling just before and just after the program: their mean is
        # the run's ceiling, and how far apart they are shows the machine's
        # drift meanwhile.
        before = ceiling(lab, fields)
        for window in windows:
            figures = program(lab, fields, window, extra=fields == max(sizes))
            run[window]["throughput"][fields] = figures.pop("throughput")
            run[window].update(figures)
        run["ceilings"][fields] = [before, ceiling(lab, fields)]
        run["ceiling"][fields] = statistics.mean(run["ceilings"][fields])
        log("  %6d linked: ceiling %7.0f/s (%.0f, %.0f), %s"
            % (fields, run["ceiling"][fields], *run["ceilings"][fields], ", ".join(
                "window %s %7.0f/s (%.2f)" % (window, run[window]["throughput"][fields],
                                               run[window]["throughput"][fields]
                                               / run["ceiling"][fields])
                for window in windows)))
    run["rtd"] = {}
    for fields in [size for size in sizes if size in rtd_sizes]:
        figures = run["rtd"][fields] = rtd(lab, fields)
        log("  %6d RTD topics: %7.0f updates/s absorbed; RefreshData p50 %.1f ms p99 %.1f ms; "
            "age p50 %.1f ms p99 %.1f ms"
            % (fields, figures["throughput"], figures["round_trip"]["p50"],
               figures["round_trip"]["p99"], figures["age"]["p50"], figures["age"]["p99"]))
    for window in windows:
        ages = paced(lab, window, LATENCY_UPDATES)
        figures = run[window]
        figures["latency"] = {"p50": percentile(ages, 0.5), "p99": percentile(ages, 0.99),
                              "max": max(ages)}
        ages = paced(lab, window, STALE_UPDATES, "--busy-ms", BUSY_MS)
        figures["staleness"] = {"p50": percentile(ages, 0.5), "max": max(ages)}
        log("  window %s: latency p50 %.2f ms p99 %.2f ms max %.2f ms; busy client: p50 %.0f ms "
            "max %.0f ms; replay %.3f s; peak memory %.1f MiB"
            % (window, figures["latency"]["p50"], figures["latency"]["p99"],
               figures["latency"]["max"], figures["staleness"]["p50"],
               figures["staleness"]["max"], figures["replay"], figures["footprint"]))
    return run


def links_window_runs(lab, runs, sizes, windows, log):
    """The throughput at each size with the Links window closed and open,
    the order alternating from run to run; printed only."""
    figures = {}
    for number in range(1, runs + 1):
        log("run %d of %d" % (number, runs))
        for fields in sizes:
            for window in windows:
                states = [False, True] if number % 2 else [True, False]
                for links_window in states:
                    rate_now = program(lab, fields, window, links_window=links_window)["throughput"]
                    figures.setdefault((fields, window, links_window), []).append(rate_now)
                    log("  %6d linked, window %s, Links window %s: %7.0f/s"
                        % (fields, window, "open" if links_window else "closed", rate_now))
    log("medians of %d runs (the ratio: the median of each run's open / closed):" % runs)
    for fields in sizes:
        for window in windows:
            closed, opened = figures[(fields, window, False)], figures[(fields, window, True)]
            ratio = statistics.median(o / c for o, c in zip(opened, closed))
            log("  %6d linked, window %s: Links window closed %7.0f/s, open %7.0f/s (%.2f)"
                % (fields, window, statistics.median(closed), statistics.median(opened), ratio))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3, help="runs of every figure (default 3)")
    parser.add_argument("--sizes", type=int, nargs="+", default=SIZES, choices=SIZES,
                        help="linked items (default: all of %s)" % SIZES)
    parser.add_argument("--output", type=Path, default=REPO / "bench",
                        help="folder for RESULTS.md and throughput.png (default bench/)")
    parser.add_argument("--windows", nargs="+", choices=WINDOWS, default=WINDOWS,
                        help="the program's window states (default both: shown, as it starts, "
                        "and hidden in the tray)")
    parser.add_argument("--rtd-sizes", type=int, nargs="*", default=RTD_SIZES, choices=RTD_SIZES,
                        help="RTD topics measured (default: all of %s; none: no RTD rows, as for "
                        "a build without the RTD server)" % RTD_SIZES)
    parser.add_argument("--scale-topics", type=int, nargs="*", default=SCALE_TOPICS,
                        help="RTD topics of the feeds-at-scale rows (default %s; none: no such rows)"
                        % SCALE_TOPICS)
    parser.add_argument("--batches", type=int, nargs="+", default=SCALE_BATCHES,
                        help="updates a message in those rows (default %s)" % SCALE_BATCHES)
    parser.add_argument("--scale-updates", type=int, default=SCALE_UPDATES,
                        help="updates sent at each batch size (default %d)" % SCALE_UPDATES)
    parser.add_argument("--drain-every", type=int,
                        help="the ceiling handles its queue after every so many posts "
                        "(default: dde_ceiling's own)")
    parser.add_argument("--links-window", action="store_true",
                        help="only the throughput at --sizes with the Links window closed and open, "
                        "printed; writes no results")
    args = parser.parse_args()

    def log(text):
        print(text, flush=True)

    if args.links_window:
        with bench_wine() as wine:
            links_window_runs(Lab(wine, args.drain_every), args.runs, sorted(args.sizes), args.windows,
                              log)
        return

    started = time.monotonic()
    load_before = os.getloadavg()[0]
    runs = []
    with bench_wine() as wine:
        lab = Lab(wine, args.drain_every)
        for number in range(1, args.runs + 1):
            log("run %d of %d" % (number, args.runs))
            # Alternating the order spreads the machine's drift over both states.
            windows = args.windows if number % 2 else args.windows[::-1]
            runs.append(one_run(lab, sorted(args.sizes), windows, log, args.rtd_sizes))
            scale_runs(lab, runs[-1], log, sorted(args.scale_topics), sorted(args.batches),
                       args.scale_updates)
    args.output.mkdir(parents=True, exist_ok=True)
    (args.output / "runs.json").write_text(json.dumps(runs, indent=1) + "\n")
    paced = {"fields": PACED_FIELDS, "rate": PACED_RATE, "busy_ms": BUSY_MS,
             "stale_updates": STALE_UPDATES}
    written = write_results(runs, args.output, time.monotonic() - started, paced,
                            (load_before, os.getloadavg()[0]))
    # Only the results committed in bench/ are the README's latest.
    if args.output.resolve() == (REPO / "bench").resolve() and \
            quote_in_readme(REPO / "README.md", runs, paced):
        written.append(REPO / "README.md")
    log("wrote %s" % ", ".join(str(p) for p in written))


if __name__ == "__main__":
    main()
