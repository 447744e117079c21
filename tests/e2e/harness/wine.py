"""vantrel.exe, ddewatch.exe and winctl.exe under one headless Wine server.

Every Wine process writes its output to files, never to pipes: Wine's helper
processes inherit the output handles of the process that starts them and
would hold a pipe open for the server's life.
"""

import contextlib
import os
import pwd
import re
import socket
import subprocess
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[3]
# VANTREL_EXE_DIR points the tests at executables built elsewhere.
EXE_DIR = Path(os.environ.get("VANTREL_EXE_DIR", REPO / "build" / "windows")).resolve()
# The 32-bit tools (rtdwatch32.exe) and the tests' 32-bit type library.
EXE32_DIR = Path(os.environ.get("VANTREL_EXE32_DIR", REPO / "build" / "windows32")).resolve()
ARTIFACTS = REPO / "build" / "artifacts"
WINE_PREFIX_SH = REPO / "scripts" / "wine-prefix.sh"
# Wine's 64-bit loader: with Wine's 32-bit half installed, `wine reg` is the
# 32-bit reg, which reads and writes the 32-bit registry view, and so is
# `wine C:\windows\system32\reg.exe` (scripts/wine-env.sh says the same
# for the scripts).
WINE64 = "/usr/lib/wine/wine64" if os.path.exists("/usr/lib/wine/wine64") else "wine"

FEED_PORT = 8902
WM_CLOSE = 0x10

# Where the program remembers the web pages the user allowed or refused.
ORIGINS_KEY = r"HKCU\Software\Quellvarden\Vantrel\Origins"

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


class HarnessError(AssertionError):
    """Something the program or a tool did not do within its limit. Tests
    see it as a failed assertion; the benchmarks stop with its text."""


def fail(message):
    raise HarnessError(message)


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


# ---------------------------------------------------------------------------
# Prefixes


def prefix_env(role):
    """The variables every Wine call in the prefix of `role` needs
    (scripts/wine-env.sh names the prefixes)."""
    listed = subprocess.run(["bash", str(WINE_PREFIX_SH), "env", role],
                            stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            timeout=30, check=True)
    return dict(line.split("=", 1) for line in listed.stdout.splitlines())


def log_folder(env):
    """Where the program in the prefix of `env` writes its log: the Wine
    user's %LOCALAPPDATA%, which Wine sets from the prefix whatever the
    Linux environment says."""
    user = pwd.getpwuid(os.getuid()).pw_name
    return Path(env["WINEPREFIX"]) / "drive_c" / "users" / user / "AppData" / "Local" / "Quellvarden" / "Vantrel"


def prefix_command(command, role, *args, log_path, limit, env=None):
    """scripts/wine-prefix.sh COMMAND ROLE ..., its output appended to
    log_path; fails when it does not succeed within `limit` seconds."""
    argv = ["bash", str(WINE_PREFIX_SH), command, role] + [str(a) for a in args]
    with open(log_path, "ab") as log:
        log.write(("$ %s\n" % " ".join(argv)).encode())
        log.flush()
        code = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                              env=env, timeout=limit).returncode
    if code != 0:
        fail("%s: exit code %s\n%s" % (" ".join(argv), code, Path(log_path).read_text()))


@contextlib.contextmanager
def running_prefix(role, driver, log_path, env=None):
    """The environment of every Wine call in the prefix of `role`, created
    when missing, with its server running until the block ends."""
    environ = dict(env or os.environ)
    environ.update(prefix_env(role))
    try:
        # Creating a prefix takes 5 to 15 s; allow for a slow machine.
        prefix_command("start", role, driver, log_path=log_path, limit=300, env=environ)
        yield environ
    finally:
        prefix_command("stop", role, log_path=log_path, limit=120, env=environ)


def require_executables(*names):
    """Fails when the Windows build is missing."""
    names = names or ("vantrel.exe", "ddewatch.exe", "winctl.exe")
    missing = [exe for exe in names if not built_path(exe)]
    if missing:
        fail("missing %s in %s or %s: build them with scripts/build.sh windows"
             % (", ".join(missing), EXE_DIR, EXE32_DIR))


def built_path(exe):
    """Where the build put one of its executables or files; None when it
    did not."""
    for folder in (EXE_DIR, EXE32_DIR):
        if (folder / exe).is_file():
            return folder / exe
    return None


# ---------------------------------------------------------------------------
# The program's port


def port_is_free(port=FEED_PORT):
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


def wait_for_free_port(limit=10):
    """Fails when the program's port stays taken for `limit` seconds."""
    deadline = time.monotonic() + limit
    while not port_is_free(FEED_PORT):
        if time.monotonic() > deadline:
            fail("127.0.0.1:%d is held by another program (a vantrel.exe in "
                 "another Wine prefix?); it must be free" % FEED_PORT)
        time.sleep(0.2)


# ---------------------------------------------------------------------------
# Processes


def output_encoding(argv):
    """rtdwatch prints UTF-8, and ddewatch its CF_UNICODETEXT values; the
    tools print everything else in the ANSI code page."""
    args = [str(a) for a in argv]
    return "utf-8" if "unicode" in args or any(a.endswith("rtdwatch.exe") for a in args) else "cp1252"


class Result:
    """A finished tool run: exit code and output, decoded as its text."""

    def __init__(self, argv, returncode, out_path, err_path):
        self.argv = argv
        self.returncode = returncode
        self.stdout = out_path.read_bytes().decode(output_encoding(argv), "replace")
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
        """The exit code; fails when the process outlives `limit`."""
        try:
            return self.popen.wait(limit)
        except subprocess.TimeoutExpired:
            stop_process(self.popen)
            fail("%s did not end within %s s" % (" ".join(self.argv), limit))

    def output(self):
        return self.out_path.read_bytes().decode(output_encoding(self.argv), "replace")

    def wait_for_output(self, limit=30):
        """Waits until the process has printed something (for ddewatch: its
        first value); fails when it ends or `limit` passes first."""
        deadline = time.monotonic() + limit
        while not self.output().strip():
            if not self.running():
                fail("%s ended without output\n%s" % (" ".join(self.argv), self.result()))
            if time.monotonic() > deadline:
                fail("no output from %s" % " ".join(self.argv))
            time.sleep(0.1)

    def result(self):
        return Result(self.argv, self.popen.returncode, self.out_path, self.err_path)


class Wine:
    """Runs the built Windows tools under one Wine server, each process's
    output in files of `log_dir`."""

    def __init__(self, env, log_dir):
        self.env = env
        self.log_dir = Path(log_dir)
        self.log_dir.mkdir(parents=True, exist_ok=True)
        self.count = 0
        self.started = []

    def _files(self, exe):
        self.count += 1
        stem = "%02d-%s" % (self.count, Path(exe).stem)
        return self.log_dir / (stem + ".out"), self.log_dir / (stem + ".err")

    def start(self, exe, *args):
        """Starts one of the built executables (or, for a name without a
        folder that is not built here, one of Wine's own programs)."""
        built = built_path(exe)
        program = str(built) if built else str(exe)
        # Wine's 64-bit loader for everything but the 32-bit build: `wine`
        # would run a program of Wine's own (reg.exe, also by its path in
        # system32) as its 32-bit build.
        loader = "wine" if built and built.parent == EXE32_DIR else WINE64
        argv = [loader, program] + [str(a) for a in args]
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
            fail("%s did not end within %s s\n%s" % (" ".join(proc.argv), limit, proc.result()))
        return proc.result()

    def ddewatch(self, *args, timeout=10):
        """Runs ddewatch with --timeout `timeout` added."""
        return self.run("ddewatch.exe", "--timeout", timeout, *args, limit=timeout + TOOL_MARGIN)

    def winctl(self, *args, timeout=10):
        """Runs winctl; `timeout` goes to the commands that wait."""
        if args[0] in ("msgbox", "find"):
            args = args + ("--timeout", timeout)
        return self.run("winctl.exe", *args, limit=timeout + TOOL_MARGIN)

    def remembered_origin(self, origin):
        """The answer the program remembered for a web page's origin: 1
        allowed, 0 refused, None when there is none."""
        result = self.run("reg", "query", ORIGINS_KEY, "/v", origin, limit=60)
        if result.returncode != 0:
            return None
        match = re.search(r"REG_DWORD\s+0x([0-9a-fA-F]+)", result.stdout)
        if not match:
            fail("no REG_DWORD for %s:\n%s" % (origin, result))
        return int(match.group(1), 16)

    def forget_remembered_origins(self):
        """Deletes every remembered origin, so that no test depends on an
        earlier run."""
        self.run("reg", "delete", ORIGINS_KEY, "/f", limit=60)

    def serves_dde(self):
        """Whether a DDE server answers a probe, which asks for no item and
        so leaves the status lines as they were."""
        result = self.ddewatch("--probe", timeout=2)
        if result.returncode not in (DDE_OK, DDE_NO_SERVER):
            fail("ddewatch --probe: %s" % (result,))
        return result.returncode == DDE_OK

    def start_vantrel(self):
        """Starts another copy of vantrel.exe without waiting for it."""
        return self.start("vantrel.exe")

    def start_serving_vantrel(self):
        """Starts vantrel.exe and waits until it serves DDE."""
        wait_for_free_port()
        app = self.start_vantrel()
        deadline = time.monotonic() + STARTUP_LIMIT
        while not self.serves_dde():
            if not app.running():
                fail("vantrel.exe ended with exit code %s before serving DDE; logs in %s"
                     % (app.popen.returncode, self.log_dir))
            if time.monotonic() > deadline:
                # A program that took the port after the check above leaves
                # this copy at its "Bind Error" message box.
                fail("vantrel.exe does not serve DDE after %s s (127.0.0.1:%d %s)"
                     % (STARTUP_LIMIT, FEED_PORT, "is held" if not port_is_free() else "is free"))
            time.sleep(0.2)
        return app

    def close_vantrel(self, app, limit=EXIT_LIMIT):
        """Asks the program to close the way another program would, with a
        WM_CLOSE to its main window, and returns its exit code."""
        app.close_requested = True
        if app.running():
            posted = self.winctl("post", "--class", "VANTREL", "0x%x" % WM_CLOSE)
            if posted.returncode != 0:
                fail("cannot post WM_CLOSE\n%s" % posted)
        return app.wait(limit)

    def close_all(self):
        """Closes vantrel.exe with WM_CLOSE, then stops whatever still runs."""
        for proc in reversed(self.started):
            if not proc.running():
                continue
            if proc.argv[1].endswith("vantrel.exe"):
                self.winctl("post", "--class", "VANTREL", "0x%x" % WM_CLOSE)
                try:
                    proc.popen.wait(EXIT_LIMIT)
                    continue
                except subprocess.TimeoutExpired:
                    pass
            stop_process(proc.popen)


@contextlib.contextmanager
def serving_vantrel(wine):
    """vantrel.exe, serving DDE; closed with WM_CLOSE at the end, when still
    running, and then it must have ended with exit code 0."""
    app = wine.start_serving_vantrel()
    yield app
    if app.running():
        code = wine.close_vantrel(app)
        if code != 0:
            fail("vantrel.exe ended with exit code %s after WM_CLOSE" % code)
