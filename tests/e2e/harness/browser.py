"""Headless Chromium on a page of the tests' own, served from 127.0.0.1.

The page reports what it does as JSON posts to the same small HTTP server
that serves it; the reports are kept, in the page's order, in a log file.
"""

import http.server
import json
import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import urllib.parse
from pathlib import Path

from harness.wine import fail

# Chromium needs 0.5 s (3 s on a cold start) from its start to a page's
# connection here (2 cores); the limits leave room for a loaded machine.
BROWSER_START_LIMIT = 60
EVENT_LIMIT = 30
BROWSER_EXIT_LIMIT = 15

CHROMIUM_FLAGS = [
    "--headless",
    "--no-sandbox",  # needed as root
    "--disable-gpu",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    "--no-first-run",
    "--no-default-browser-check",
    "--no-proxy-server",
    "--enable-logging=stderr",
]


def chromium_path():
    path = shutil.which("chromium")
    if path is None:
        fail("chromium is not installed (Debian package chromium; "
             "scripts/install-deps.sh installs it)")
    return path


class ReportServer:
    """Serves the given pages (by file name) and collects what they report."""

    def __init__(self, pages, log_path):
        self.pages = {Path(p).name: Path(p) for p in pages}
        self.events = []
        self.arrived = queue.Queue()
        self.log_path = log_path
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                page = server.pages.get(urllib.parse.urlsplit(self.path).path.lstrip("/"))
                if page is None:
                    self.send_error(404)
                    return
                body = page.read_bytes()
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                self.send_response(204)
                self.end_headers()
                server.arrived.put(body)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def page_url(self, name, host="127.0.0.1", **query):
        return "http://%s:%d/%s?%s" % (host, self.httpd.server_address[1], name,
                                       urllib.parse.urlencode(query))

    def _take(self, body):
        event = json.loads(body)
        with open(self.log_path, "a", encoding="utf-8") as log:
            log.write(json.dumps(event, ensure_ascii=False) + "\n")
        # A page posts one report at a time, so they arrive in its order.
        self.events.append(event)

    def collect(self):
        """Takes in whatever has arrived, without waiting."""
        while True:
            try:
                self._take(self.arrived.get_nowait())
            except queue.Empty:
                return self.events

    def wait_for(self, predicate, limit, what, browser):
        """The first event that `predicate` accepts; fails when none has come
        within `limit` seconds or the browser has ended."""
        deadline = time.monotonic() + limit
        seen = 0
        while True:
            self.collect()
            for event in self.events[seen:]:
                if predicate(event):
                    return event
            seen = len(self.events)
            if not browser.running():
                fail("Chromium ended (exit code %s) before %s; page reports: %s; logs in %s"
                     % (browser.popen.returncode, what, self.events, browser.log_dir))
            if time.monotonic() > deadline:
                fail("no %s within %s s; page reports: %s; logs in %s"
                     % (what, limit, self.events, browser.log_dir))
            try:
                self._take(self.arrived.get(timeout=0.2))
            except queue.Empty:
                pass

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(10)


class Browser:
    """Headless Chromium on one page, in a process group of its own."""

    def __init__(self, url, log_dir, profile, extra_flags=()):
        self.log_dir = log_dir
        argv = ([chromium_path()] + CHROMIUM_FLAGS + list(extra_flags)
                + ["--user-data-dir=" + profile, url])
        with open(log_dir / "chromium.out", "ab") as out, \
                open(log_dir / "chromium.err", "ab") as err:
            out.write((" ".join(argv) + "\n").encode())
            out.flush()
            self.popen = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                          stderr=err, start_new_session=True)

    def running(self):
        return self.popen.poll() is None

    def stop(self):
        """Kills all of Chromium's processes at once. A browser that shuts
        down in order sends a close frame, and the program, closing first,
        keeps its end of the connection in TIME_WAIT: 127.0.0.1:8902 then
        counts as taken for a minute, and the next test cannot start. Killed,
        the browser's end closes first."""
        try:
            os.killpg(self.popen.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.popen.wait(BROWSER_EXIT_LIMIT)


class Page:
    """One of the tests' pages in headless Chromium, with its reports."""

    def __init__(self, page, log_dir):
        self.name = Path(page).name
        self.log_dir = Path(log_dir)
        self.reports = ReportServer([page], self.log_dir / "page-reports.jsonl")
        self.profile = tempfile.mkdtemp(prefix="vantrel-chromium-")
        self.browser = None

    def open(self, host="127.0.0.1", extra_flags=(), **query):
        """Starts the browser on the page with `query`, served from `host`,
        and waits for the page's first report."""
        url = self.reports.page_url(self.name, host, **query)
        self.browser = Browser(url, self.log_dir, self.profile, extra_flags)
        return self.wait_for(lambda e: True, "report from the page", BROWSER_START_LIMIT)

    def wait_for(self, predicate, what, limit=EVENT_LIMIT):
        return self.reports.wait_for(predicate, limit, what, self.browser)

    def events(self, kind):
        return [e for e in self.reports.collect() if e["event"] == kind]

    def close(self):
        try:
            if self.browser is not None:
                self.browser.stop()
        finally:
            self.reports.close()
            shutil.rmtree(self.profile, ignore_errors=True)
