"""Fixtures for the end-to-end tests: vantrel.exe, ddewatch.exe and winctl.exe
running under one headless Wine server.

The Wine prefix build/wineprefix-e2e (null graphics driver) is made once and
reused; its server is started, persistent, when the first test that needs
Wine runs and stopped when the session ends, whatever the outcome. Every
Wine process writes its output to files under build/artifacts/e2e/<test>/,
never to pipes: Wine's helper processes inherit the output handles of the
process that starts them and would hold a pipe open for the server's life.
Every wait has a hard limit, so no test can hang.
"""

import os
import re
import shutil
import socket
import subprocess
import time
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
# VANTREL_EXE_DIR points the tests at executables built elsewhere.
EXE_DIR = Path(os.environ.get("VANTREL_EXE_DIR", REPO / "build" / "windows")).resolve()
PREFIX = REPO / "build" / "wineprefix-e2e"
ARTIFACTS = REPO / "build" / "artifacts" / "e2e"
WINE_PREFIX_SH = REPO / "scripts" / "wine-prefix.sh"

FEED_PORT = 8902
WM_CLOSE = 0x10

# ddewatch exit codes.
DDE_OK, DDE_NO_DATA, DDE_NO_SERVER, DDE_TIMEOUT = 0, 1, 2, 3

# Hard limits, in seconds. A tool gets its own --timeout plus this margin
# before it is stopped from outside.
TOOL_MARGIN = 20
STARTUP_LIMIT = 30
EXIT_LIMIT = 30

# One ddewatch output line: "HH:MM:SS.mmm ITEM VALUE". The value is kept
# exactly, blanks included.
WATCH_LINE = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} (\S+) (.*)$")


def parse_watch_lines(text):
    """The (item, value) pairs of ddewatch's output, in order."""
    pairs = []
    for line in text.split("\n"):
        line = line.rstrip("\r")
        match = WATCH_LINE.match(line)
        if match:
            pairs.append((match.group(1), match.group(2)))
    return pairs


def stop_process(proc):
    """Ends a Wine process (not the server) that overran its limit."""
    proc.terminate()
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(5)


class Result:
    """A finished tool run: exit code and output, decoded as ANSI text."""

    def __init__(self, argv, returncode, out_path, err_path):
        self.argv = argv
        self.returncode = returncode
        self.stdout = out_path.read_bytes().decode("cp1252", "replace")
        self.stderr = err_path.read_bytes().decode("cp1252", "replace")

    @property
    def values(self):
        return parse_watch_lines(self.stdout)

    def __repr__(self):
        return "%s\nexit code %s\n--- stdout\n%s--- stderr\n%s" % (
            " ".join(self.argv), self.returncode, self.stdout, self.stderr)


class Process:
    """A Wine process started in the background."""

    def __init__(self, argv, popen, out_path, err_path):
        self.argv = argv
        self.popen = popen
        self.out_path = out_path
        self.err_path = err_path
        self.close_requested = False

    def running(self):
        return self.popen.poll() is None

    def wait(self, limit=EXIT_LIMIT):
        """The exit code; fails the test when the process outlives `limit`."""
        try:
            return self.popen.wait(limit)
        except subprocess.TimeoutExpired:
            stop_process(self.popen)
            pytest.fail("%s did not end within %s s" % (" ".join(self.argv), limit))

    def output(self):
        return self.out_path.read_bytes().decode("cp1252", "replace")

    def wait_for_output(self, limit=30):
        """Waits until the process has printed something (for ddewatch: its
        first value); fails the test when it ends or `limit` passes first."""
        deadline = time.monotonic() + limit
        while not self.output().strip():
            assert self.running(), self.result()
            assert time.monotonic() < deadline, "no output from %s" % " ".join(self.argv)
            time.sleep(0.1)

    def result(self):
        return Result(self.argv, self.popen.returncode, self.out_path, self.err_path)


class Wine:
    """Runs the built Windows tools under the tests' Wine server; one per
    test, so that each test's logs land in a folder of its own."""

    def __init__(self, env, log_dir):
        self.env = env
        self.log_dir = log_dir
        self.count = 0
        self.started = []

    def _files(self, exe):
        self.count += 1
        stem = "%02d-%s" % (self.count, Path(exe).stem)
        return self.log_dir / (stem + ".out"), self.log_dir / (stem + ".err")

    def start(self, exe, *args):
        argv = ["wine", str(EXE_DIR / exe)] + [str(a) for a in args]
        out_path, err_path = self._files(exe)
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            popen = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                     env=self.env, cwd=str(REPO))
        proc = Process(argv, popen, out_path, err_path)
        self.started.append(proc)
        return proc

    def run(self, exe, *args, limit):
        proc = self.start(exe, *args)
        try:
            proc.popen.wait(limit)
        except subprocess.TimeoutExpired:
            stop_process(proc.popen)
            pytest.fail("%s did not end within %s s\n%s" % (" ".join(proc.argv), limit, proc.result()))
        return proc.result()

    def ddewatch(self, *args, timeout=10):
        """Runs ddewatch with --timeout `timeout` added."""
        return self.run("ddewatch.exe", "--timeout", timeout, *args, limit=timeout + TOOL_MARGIN)

    def winctl(self, *args, timeout=10):
        """Runs winctl; `timeout` goes to the commands that wait."""
        if args[0] in ("msgbox", "find"):
            args = args + ("--timeout", timeout)
        return self.run("winctl.exe", *args, limit=timeout + TOOL_MARGIN)

    def serves_dde(self):
        """Whether a DDE server answers: any answer to a one-time request,
        even "no data", proves one."""
        return self.ddewatch("--request", "1.x", timeout=2).returncode != DDE_NO_SERVER

    def start_vantrel(self):
        """Starts another copy of vantrel.exe without waiting for it."""
        return self.start("vantrel.exe")

    def close_vantrel(self, app, limit=EXIT_LIMIT):
        """Asks the program to close the way another program would, with a
        WM_CLOSE to its main window, and returns its exit code."""
        app.close_requested = True
        if app.running():
            posted = self.winctl("post", "--class", "VANTREL", "0x%x" % WM_CLOSE)
            assert posted.returncode == 0, "cannot post WM_CLOSE\n%s" % posted
        return app.wait(limit)


def wait_for_free_port():
    """Fails the test when the program's port stays taken for 10 s."""
    deadline = time.monotonic() + 10
    while not port_is_free(FEED_PORT):
        if time.monotonic() > deadline:
            pytest.fail("127.0.0.1:%d is held by another program (a vantrel.exe in "
                        "another Wine prefix?); the tests need it free" % FEED_PORT)
        time.sleep(0.2)


def port_is_free(port):
    """Whether no socket listens on the port. Connections that the program
    closed itself linger in TIME_WAIT for a minute; they do not stop a new
    copy from binding under Wine, so the probe ignores them too (a
    listening socket still refuses it)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def require_executables():
    """Fails the test when the Windows build is missing."""
    missing = [exe for exe in ("vantrel.exe", "ddewatch.exe", "winctl.exe")
               if not (EXE_DIR / exe).is_file()]
    if missing:
        pytest.fail("missing %s in %s: build them with scripts/build.sh windows"
                    % (", ".join(missing), EXE_DIR))


def wine_prefix_env(prefix):
    """The variables every Wine call in `prefix` needs."""
    listed = subprocess.run(["bash", str(WINE_PREFIX_SH), "env", str(prefix)],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            timeout=30, check=True)
    return dict(line.split("=", 1) for line in listed.stdout.splitlines())


@pytest.fixture(scope="session")
def wine_env():
    """The environment of every Wine call, with the prefix created and its
    server running; the server is stopped when the session ends."""
    require_executables()
    shutil.rmtree(ARTIFACTS, ignore_errors=True)
    ARTIFACTS.mkdir(parents=True)

    log_path = ARTIFACTS / "wine-prefix.log"

    def prefix_command(*args, limit):
        argv = ["bash", str(WINE_PREFIX_SH)] + [str(a) for a in args]
        with open(log_path, "ab") as log:
            code = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                  timeout=limit).returncode
        if code != 0:
            pytest.fail("%s: exit code %s\n%s" % (" ".join(argv), code, log_path.read_text()))

    env = wine_prefix_env(PREFIX)
    try:
        # Creating the prefix takes 5 to 15 s; allow for a slow machine.
        prefix_command("start", PREFIX, "null", limit=300)
        yield dict(os.environ, **env)
    finally:
        prefix_command("stop", PREFIX, limit=120)


@pytest.fixture
def wine(wine_env, request):
    """The Wine runner of this test; at its end, every process the test left
    running is closed, a vantrel.exe with WM_CLOSE, anything else stopped."""
    log_dir = ARTIFACTS / re.sub(r"[^A-Za-z0-9_.-]+", "_", request.node.name)
    log_dir.mkdir(parents=True, exist_ok=True)
    runner = Wine(wine_env, log_dir)
    yield runner
    close_all(runner)


def close_all(wine):
    """Closes vantrel.exe with WM_CLOSE, then stops whatever still runs."""
    for proc in reversed(wine.started):
        if not proc.running():
            continue
        if proc.argv[1].endswith("vantrel.exe"):
            wine.winctl("post", "--class", "VANTREL", "0x%x" % WM_CLOSE)
            try:
                proc.popen.wait(EXIT_LIMIT)
                continue
            except subprocess.TimeoutExpired:
                pass
        stop_process(proc.popen)


@pytest.fixture
def vantrel(wine):
    """vantrel.exe, started and serving DDE. At the end of the test it is
    closed with WM_CLOSE, unless the test did so, and must end with exit
    code 0."""
    wait_for_free_port()
    app = wine.start_vantrel()
    deadline = time.monotonic() + STARTUP_LIMIT
    while not wine.serves_dde():
        if not app.running():
            pytest.fail("vantrel.exe ended with exit code %s before serving DDE; "
                        "logs in %s" % (app.popen.returncode, wine.log_dir))
        if time.monotonic() > deadline:
            # A program that took the port after the check above leaves this
            # copy at its "Bind Error" message box.
            pytest.fail("vantrel.exe does not serve DDE after %s s (127.0.0.1:%d %s)"
                        % (STARTUP_LIMIT, FEED_PORT,
                           "is held" if not port_is_free(FEED_PORT) else "is free"))
        time.sleep(0.2)
    yield app
    if not app.running() and not app.close_requested:
        pytest.fail("vantrel.exe ended during the test with exit code %s; logs in %s"
                    % (app.popen.returncode, wine.log_dir))
    if app.running():
        code = wine.close_vantrel(app)
        assert code == 0, "vantrel.exe ended with exit code %s after WM_CLOSE" % code
