"""A web browser as the feed client: headless Chromium runs
tests/e2e/browser/feed_client.html, which connects to vantrel.exe's
WebSocket port, completes the opening handshake, answers the request for a
linked item with an update, and the value reaches ddewatch.exe, a client that
links to the item as a spreadsheet cell does.

The page reports every step (connected, each message received, each update
sent, a close) as JSON posts to a small HTTP server of the test's own on
another loopback port, which also serves the page. Chromium's output and the
page's reports are kept in build/artifacts/e2e/<test>/.

    /usr/bin/python3 -m pytest tests/e2e/test_browser_feed.py -v

Chromium (Debian's package, scripts/install-deps.sh) must be installed.
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

import pytest

from conftest import DDE_OK, FEED_PORT, TOOL_MARGIN

PAGE = Path(__file__).resolve().parent / "browser" / "feed_client.html"

# Chromium needs 0.5 s (3 s on a cold start) from its start to the page's
# connection here (2 cores); the limits leave room for a loaded machine.
BROWSER_START_LIMIT = 60
EVENT_LIMIT = 30
BROWSER_EXIT_LIMIT = 15
WATCH_TIMEOUT = 90

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

ITEM = "1234.lastprice"
# The request message for ITEM, byte for byte as the program sends it.
REQUEST_TEXT = '{ "request" : "1234.lastprice" }'
# A field without value, as ddewatch prints it.
BLANK = {"xltable": '" "', "text": " "}


class ReportServer:
    """Serves the page and collects what it reports, in the page's order."""

    def __init__(self, log_path):
        self.events = []
        self.arrived = queue.Queue()
        self.log_path = log_path
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                if urllib.parse.urlsplit(self.path).path != "/" + PAGE.name:
                    self.send_error(404)
                    return
                body = PAGE.read_bytes()
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

    def page_url(self, **query):
        return "http://127.0.0.1:%d/%s?%s" % (self.httpd.server_address[1], PAGE.name,
                                              urllib.parse.urlencode(query))

    def _take(self, body):
        event = json.loads(body)
        with open(self.log_path, "a", encoding="utf-8") as log:
            log.write(json.dumps(event, ensure_ascii=False) + "\n")
        # The page posts one report at a time, so they arrive in its order.
        self.events.append(event)

    def collect(self):
        """Takes in whatever has arrived, without waiting."""
        while True:
            try:
                self._take(self.arrived.get_nowait())
            except queue.Empty:
                return self.events

    def wait_for(self, predicate, limit, what, browser):
        """The first event that `predicate` accepts; fails the test when none
        has come within `limit` seconds or the browser has ended."""
        deadline = time.monotonic() + limit
        seen = 0
        while True:
            self.collect()
            for event in self.events[seen:]:
                if predicate(event):
                    return event
            seen = len(self.events)
            if not browser.running():
                pytest.fail("Chromium ended (exit code %s) before %s; page reports: %s; "
                            "logs in %s" % (browser.popen.returncode, what, self.events,
                                            browser.log_dir))
            if time.monotonic() > deadline:
                pytest.fail("no %s within %s s; page reports: %s; logs in %s"
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

    def __init__(self, url, log_dir, profile):
        self.log_dir = log_dir
        argv = [chromium_path()] + CHROMIUM_FLAGS + ["--user-data-dir=" + profile, url]
        with open(log_dir / "chromium.out", "wb") as out, \
                open(log_dir / "chromium.err", "wb") as err:
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


def chromium_path():
    path = shutil.which("chromium")
    if path is None:
        pytest.fail("chromium is not installed (Debian package chromium; "
                    "scripts/install-deps.sh installs it)")
    return path


class FeedPage:
    """A browser page as the program's feed client, with its reports."""

    def __init__(self, log_dir):
        self.log_dir = log_dir
        self.reports = ReportServer(log_dir / "page-reports.jsonl")
        self.profile = tempfile.mkdtemp(prefix="vantrel-chromium-")
        self.browser = None

    def open(self, value, port=FEED_PORT):
        """Starts the browser on the page, which answers every request with
        `value`, and waits until the page has connected to `port`."""
        url = self.reports.page_url(port=port, value=value)
        self.browser = Browser(url, self.log_dir, self.profile)
        self.wait_for(lambda e: True, "report from the page", BROWSER_START_LIMIT)
        connected = self.wait_for(lambda e: e["event"] in ("open", "close", "error"),
                                  "WebSocket connection")
        assert connected["event"] == "open", \
            "the page could not connect: %s" % self.reports.events

    def wait_for(self, predicate, what, limit=EVENT_LIMIT):
        return self.reports.wait_for(predicate, limit, what, self.browser)

    def received(self):
        return [e for e in self.reports.collect() if e["event"] == "message"]

    def close(self):
        try:
            if self.browser is not None:
                self.browser.stop()
        finally:
            self.reports.close()
            shutil.rmtree(self.profile, ignore_errors=True)


@pytest.fixture
def feed_page(vantrel, wine):
    """A browser feed client; it is stopped before the program is closed."""
    page = FeedPage(wine.log_dir)
    yield page
    page.close()


# "connect-first": the page is connected before the cell links, and the
# advise start sends the request. "link-first": the cell links while no feed
# client is there, and the request comes when the page connects.
@pytest.mark.parametrize("order, fmt, sent, shown", [
    ("link-first", "xltable", "12.5", "12.5"),
    ("connect-first", "xltable", "12.5", "12.5"),
    ("link-first", "text", "12,5 \u20ac", "12,5 \u20ac"),
    ("connect-first", "xltable", "12,5 \u20ac", '"12,5 \u20ac"'),
], ids=["link-first-number", "connect-first-number", "link-first-euro-text",
        "connect-first-euro-xltable"])
def test_browser_answers_request_and_value_reaches_cell(vantrel, wine, feed_page,
                                                        order, fmt, sent, shown):
    if order == "connect-first":
        feed_page.open(sent)
    # Two values: the one that fills the cell when it links, and the
    # browser's value, which may come first when the browser is quick.
    watch = wine.start("ddewatch.exe", "--timeout", WATCH_TIMEOUT, "--format", fmt,
                       "--count", 2, ITEM)
    if order == "link-first":
        watch.wait_for_output()
        feed_page.open(sent)

    request = feed_page.wait_for(lambda e: e["event"] == "message", "request from the program")
    assert (request["text"], request["binary"]) == (REQUEST_TEXT, False), \
        "unexpected first message: %s" % feed_page.reports.events
    feed_page.wait_for(lambda e: e["event"] == "sent", "update sent by the page")

    code = watch.wait(WATCH_TIMEOUT + TOOL_MARGIN)
    result = watch.result()
    assert code == DDE_OK, "the browser's value did not reach ddewatch:\n%s\npage reports: %s" % (
        result, feed_page.reports.events)
    values = result.values
    assert values[-1] == (ITEM, shown), result
    if order == "link-first":
        assert values == [(ITEM, BLANK[fmt]), (ITEM, shown)], result
    else:
        assert set(values) <= {(ITEM, BLANK[fmt]), (ITEM, shown)}, result

    # Exactly one request, and the connection is still open.
    assert [e["text"] for e in feed_page.received()] == [REQUEST_TEXT], feed_page.reports.events
    assert not [e for e in feed_page.reports.events if e["event"] in ("close", "error")], \
        feed_page.reports.events
