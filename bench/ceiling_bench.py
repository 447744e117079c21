#!/usr/bin/python3
"""vantrel.exe against the ceiling of the platform it runs on, under Wine
with the null driver.

- ceiling: dde_ceiling.exe, a DDE server that answers advise loops from
  memory and posts advises in a tight loop, counted by dde_count.exe, a DDE
  client on the DDE management library in text format;
- throughput: vantrel.exe fed by bench/feed/feed_client.js (Node's ws) as
  fast as it reads, counted by the same client, at every size of SIZES,
  each run's ceiling and program measured back to back;
- latency at a fixed 1,000 updates a second: the age of every value at the
  DDE client (p50, p99, max);
- staleness: the same rate into a client that takes 2 ms over every update;
- replay: from connecting to the last of the program's requests, with the
  largest size's fields; footprint: the program's peak memory then.

Every figure is the median of --runs runs (at least 3). Writes RESULTS.md
and throughput.png into --output (default bench/). Run it with
scripts/bench.sh, which installs what it needs first; port 8902 must be free.
"""

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bench_report import write_results
from wine_bench import EXE_DIR, REPO, running_vantrel, wine, wine_prefix

FEED_CLIENT = REPO / "bench" / "feed" / "feed_client.js"
CEILING = ("VantrelCeiling", "Quote")
PROGRAM = ("Quellvarden", "Quote")

SIZES = [1, 100, 1000, 10000]
# Updates counted at each size. Wine's DDE library searches its links one by
# one, so each update costs more as links grow (10,000 links: about 160 a
# second, and 40 s to link them); these keep a full run near 10 minutes.
UPDATES = {1: 20000, 100: 20000, 1000: 4000, 10000: 1500}
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


def item_names(count):
    """`count` items as a sheet holds them: ten fields an instrument."""
    return ["%d.%s" % (1000 + i // 10, FIELD_NAMES[i % 10]) for i in range(count)]


class Lab:
    """Starts the benchmark's processes, each writing into a scratch folder."""

    def __init__(self, env, scratch):
        self.env = env
        self.scratch = scratch
        self.count = 0

    def _path(self, name):
        self.count += 1
        return self.scratch / ("%03d-%s" % (self.count, name))

    def items_file(self, count):
        path = self.scratch / ("items-%d.txt" % count)
        if not path.exists():
            path.write_text("".join(item + "\n" for item in item_names(count)))
        return path

    def start(self, argv, name, env=None):
        """A process whose output goes to a file (never a pipe: Wine's
        helpers would hold it open); gives the process and the file."""
        out = self._path(name + ".out")
        with open(out, "wb") as sink:
            proc = subprocess.Popen([str(a) for a in argv], stdin=subprocess.DEVNULL, stdout=sink,
                                    stderr=subprocess.STDOUT, env=env or self.env)
        return proc, out

    def feed(self, mode, fields, *args):
        return self.start(["node", FEED_CLIENT, mode, "--fields", fields] + list(args), "feed")

    def count_updates(self, service, fields, updates, *args):
        """dde_count linked to `fields` items, until `updates` have come."""
        return self.start(["wine", EXE_DIR / "dde_count.exe", "--service", service[0], "--topic",
                           service[1], "--items-from", self.items_file(fields), "--count", updates,
                           "--timeout", LIMIT] + list(args), "count")


def wait_line(proc, out, word, limit=LIMIT):
    """The first output line that starts with `word`, split into words."""
    deadline = time.monotonic() + limit
    while True:
        for line in out.read_text(errors="replace").splitlines():
            if line.startswith(word + " "):
                return line.split()
        if proc.poll() is not None:
            sys.exit("%s ended (exit code %s) before printing '%s':\n%s"
                     % (out.name, proc.returncode, word, out.read_text(errors="replace")))
        if time.monotonic() > deadline:
            sys.exit("%s printed no '%s' within %s s" % (out.name, word, limit))
        time.sleep(0.05)


def finish(proc, out):
    """Waits for a counting client; its "received" line as (count, first, last)."""
    try:
        code = proc.wait(LIMIT)
    except subprocess.TimeoutExpired:
        proc.kill()
        sys.exit("%s did not end within %s s" % (out.name, LIMIT))
    if code != 0:
        sys.exit("%s: exit code %s\n%s" % (out.name, code, out.read_text(errors="replace")))
    words = wait_line(proc, out, "received")
    return int(words[1]), int(words[3]), int(words[5])


def stop(proc):
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(10)


def rate(received):
    count, first, last = received
    return (count - 1) / ((last - first) / 1e6)


def ceiling(lab, fields):
    """Updates a second from the minimal server to the counting client."""
    updates = UPDATES[fields]
    server, server_out = lab.start(["wine", EXE_DIR / "dde_ceiling.exe", "--service", CEILING[0],
                                    "--topic", CEILING[1], "--items-from", lab.items_file(fields),
                                    "--count", updates, "--timeout", LIMIT], "ceiling")
    try:
        # The server's name must be registered before the client looks for it.
        deadline = time.monotonic() + 30
        while True:
            client, client_out = lab.count_updates(CEILING, fields, updates)
            if client.wait(LIMIT) != 2:
                break
            if time.monotonic() > deadline or server.poll() is not None:
                sys.exit("dde_ceiling does not serve:\n%s" % server_out.read_text(errors="replace"))
            time.sleep(0.2)
        return rate(finish(client, client_out))
    finally:
        try:
            server.wait(30)
        except subprocess.TimeoutExpired:
            stop(server)


def peak_memory_mib(proc):
    """The process's peak resident memory (Wine runs the program in the
    process it was started as)."""
    status = Path("/proc/%d/status" % proc.pid).read_text()
    for line in status.splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def program(lab, fields, extra=False):
    """Updates a second through vantrel.exe; with `extra`, also the replay
    of every field to a new feed client and the program's peak memory."""
    updates = UPDATES[fields]
    figures = {}
    with running_vantrel(lab.env) as app:
        feed, feed_out = lab.feed("flood", fields, "--count", updates)
        try:
            client, client_out = lab.count_updates(PROGRAM, fields, updates)
            figures["throughput"] = rate(finish(client, client_out))
        finally:
            stop(feed)
        if extra:
            figures["replay"] = replay(lab, fields)
            figures["footprint"] = peak_memory_mib(app)
    return figures


def replay(lab, fields):
    """Seconds from a new feed client's connecting to its last request. The
    program may not have seen the previous client go yet, and then closes
    the new one at once: that try is repeated."""
    for _ in range(5):
        client, out = lab.feed("replay", fields)
        if client.wait(LIMIT) == 0:
            return float(wait_line(client, out, "asked")[3])
        time.sleep(0.5)
    sys.exit("no feed client got the replay:\n%s" % out.read_text(errors="replace"))


def ages_ms(path):
    return [int(line) / 1000 for line in path.read_text().split()]


def paced(lab, updates, *count_args):
    """The ages (ms) of `updates` values sent at PACED_RATE a second."""
    ages = lab.scratch / ("ages-%d.txt" % lab.count)
    with running_vantrel(lab.env):
        feed, feed_out = lab.feed("paced", PACED_FIELDS, "--count", updates, "--rate", PACED_RATE)
        try:
            client, client_out = lab.count_updates(PROGRAM, PACED_FIELDS, updates, "--ages", ages,
                                                   *count_args)
            finish(client, client_out)
        finally:
            stop(feed)
    return ages_ms(ages)


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def one_run(lab, sizes, log):
    """Every figure of one run, as a dict."""
    run = {"ceiling": {}, "throughput": {}}
    for fields in sizes:
        run["ceiling"][fields] = ceiling(lab, fields)
        figures = program(lab, fields, extra=fields == max(sizes))
        run["throughput"][fields] = figures.pop("throughput")
        run.update(figures)
        log("  %6d linked: ceiling %7.0f/s, program %7.0f/s (%.2f)"
            % (fields, run["ceiling"][fields], run["throughput"][fields],
               run["throughput"][fields] / run["ceiling"][fields]))
    ages = paced(lab, LATENCY_UPDATES)
    run["latency"] = {"p50": percentile(ages, 0.5), "p99": percentile(ages, 0.99), "max": max(ages)}
    ages = paced(lab, STALE_UPDATES, "--busy-ms", BUSY_MS)
    run["staleness"] = {"p50": percentile(ages, 0.5), "max": max(ages)}
    log("  latency p50 %.2f ms p99 %.2f ms max %.2f ms; busy client: p50 %.0f ms max %.0f ms; "
        "replay %.3f s; peak memory %.1f MiB"
        % (run["latency"]["p50"], run["latency"]["p99"], run["latency"]["max"],
           run["staleness"]["p50"], run["staleness"]["max"], run["replay"], run["footprint"]))
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3, help="runs of every figure (default 3)")
    parser.add_argument("--sizes", type=int, nargs="+", default=SIZES, choices=SIZES,
                        help="linked items (default: all of %s)" % SIZES)
    parser.add_argument("--output", type=Path, default=REPO / "bench",
                        help="folder for RESULTS.md and throughput.png (default bench/)")
    args = parser.parse_args()

    def log(text):
        print(text, flush=True)

    started = time.monotonic()
    runs = []
    with wine_prefix() as env, tempfile.TemporaryDirectory(prefix="vantrel-bench-") as scratch:
        lab = Lab(env, Path(scratch))
        for number in range(1, args.runs + 1):
            log("run %d of %d" % (number, args.runs))
            runs.append(one_run(lab, sorted(args.sizes), log))
    args.output.mkdir(parents=True, exist_ok=True)
    (args.output / "runs.json").write_text(json.dumps(runs, indent=1) + "\n")
    written = write_results(runs, args.output, time.monotonic() - started,
                            {"fields": PACED_FIELDS, "rate": PACED_RATE, "busy_ms": BUSY_MS,
                             "stale_updates": STALE_UPDATES})
    log("wrote %s" % ", ".join(str(p) for p in written))


if __name__ == "__main__":
    main()
