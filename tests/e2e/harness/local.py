"""Linux processes beside the Wine ones (the feed simulator, the console's
web server, the benchmark's Node feed client), with their output in files
of a log folder as the Wine processes have it."""

import signal
import subprocess
import sys
import time
from pathlib import Path

from harness.wine import REPO, Process, fail

STOP_LIMIT = 10


def start(argv, wine, name):
    """Starts argv beside the Wine runner's processes: its output goes to
    name.out and name.err in the runner's log folder, and the runner's
    close_all stops it too. SIGINT gets its default back, also when the
    tests run in the background of a shell script, so that a test can press
    Ctrl+C."""
    argv = [str(a) for a in argv]
    out = wine.log_dir / (name + ".out")
    err = wine.log_dir / (name + ".err")
    with open(out, "wb") as sink, open(err, "wb") as errors:
        popen = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=sink, stderr=errors,
                                 cwd=str(REPO),
                                 preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    proc = Process(argv, popen, out, err)
    wine.started.append(proc)
    return proc


def python_tool(script, wine, *args):
    """One of tools/*.py under the Python that runs the tests."""
    return start([sys.executable, REPO / "tools" / script] + list(args), wine, Path(script).stem)


def stop(proc, sig=signal.SIGTERM, limit=STOP_LIMIT):
    """Sends `sig` and gives the exit code; fails when it outlives `limit`."""
    if proc.running():
        proc.popen.send_signal(sig)
    return proc.wait(limit)


def output_line(proc, prefix, limit=30):
    """The first line of output that starts with `prefix`."""
    deadline = time.monotonic() + limit
    while True:
        for line in proc.output().splitlines():
            if line.startswith(prefix):
                return line
        if not proc.running():
            fail("%s ended before printing '%s'\n%s" % (" ".join(proc.argv), prefix, proc.result()))
        if time.monotonic() > deadline:
            fail("%s printed no '%s' within %s s" % (" ".join(proc.argv), prefix, limit))
        time.sleep(0.05)
