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

from pathlib import Path

import pytest

from harness.browser import Page
from harness.cells import link
from harness.feed import RawFeed, new_key, next_client, request_head, request_text, run
from harness.wine import DDE_OK, FEED_PORT, TOOL_MARGIN

PAGE = Path(__file__).resolve().parent / "browser" / "feed_client.html"

WATCH_TIMEOUT = 90

ITEM = "1234.lastprice"
# The request message for ITEM, byte for byte as the program sends it.
REQUEST_TEXT = '{ "request" : "1234.lastprice" }'
# A field without value, as ddewatch prints it.
BLANK = {"xltable": '" "', "text": " "}


class FeedPage(Page):
    """The tests' browser feed client, which answers every request with the
    value in its query."""

    def __init__(self, log_dir):
        super().__init__(PAGE, log_dir)

    def open(self, value, port=FEED_PORT):
        """Starts the browser on the page, which answers every request with
        `value`, and waits until the page has connected to `port`."""
        super().open(port=port, value=value)
        connected = self.wait_for(lambda e: e["event"] in ("open", "close", "error"),
                                  "WebSocket connection")
        assert connected["event"] == "open", \
            "the page could not connect: %s" % self.reports.events

    def received(self):
        return self.events("message")


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


# A page of a foreign origin (feed.example, mapped to this machine by the
# browser) is closed without a 101 response, and the user is asked once.
# Allowed, its next attempt connects and its value reaches the cell; refused,
# its next attempt is closed without asking and it never gets a request.
FOREIGN_HOST = "feed.example"
CONSENT_CAPTION = "Quellvarden Vantrel"


@pytest.mark.parametrize("answer", ["yes", "no"])
def test_page_of_foreign_origin_needs_consent(vantrel, wine, feed_page, answer):
    watch = wine.start("ddewatch.exe", "--timeout", WATCH_TIMEOUT, "--count", 2, ITEM)
    watch.wait_for_output()
    Page.open(feed_page, host=FOREIGN_HOST, port=FEED_PORT, value="12.5", retry=1000,
              extra_flags=["--host-resolver-rules=MAP %s 127.0.0.1" % FOREIGN_HOST])
    origin = feed_page.wait_for(lambda e: e["event"] == "connecting", "connection attempt")["origin"]
    assert origin.startswith("http://%s:" % FOREIGN_HOST), origin

    box = wine.winctl("msgbox", "--caption", CONSENT_CAPTION, "--press", "none", timeout=30)
    assert box.returncode == 0 and origin in box.stdout, box
    assert not feed_page.events("open"), "the page was let in before the user answered"
    pressed = wine.winctl("msgbox", "--caption", CONSENT_CAPTION, "--press", answer)
    assert pressed.returncode == 0, pressed
    assert wine.remembered_origin(origin) == (1 if answer == "yes" else 0)

    if answer == "yes":
        feed_page.wait_for(lambda e: e["event"] == "sent", "update sent by the page")
        assert watch.wait(WATCH_TIMEOUT + TOOL_MARGIN) == DDE_OK
        assert watch.result().values[-1] == (ITEM, "12.5"), watch.result()
    else:
        # The next attempts are closed without a box and without a request.
        attempts = len(feed_page.events("connecting"))
        feed_page.wait_for(lambda e: e["event"] == "connecting" and
                           len(feed_page.events("connecting")) >= attempts + 2, "two more attempts")
        assert wine.winctl("msgbox", "--caption", CONSENT_CAPTION, "--press", "none",
                           timeout=2).returncode == 1, "asked again"
        assert not feed_page.events("open") and not feed_page.received(), feed_page.reports.events


# While the user is asked about one page, the one feed slot is free: the
# real feed connects, and another unknown page is refused without a second
# box and without being remembered.
def test_while_asking_the_slot_is_free_and_no_second_box_opens(vantrel, wine):
    async def refused(origin):
        page = await RawFeed.connect()
        try:
            await page.send(request_head(new_key(), origin=origin))
            assert await page.closed_by_program() == b"", "a web page of %s was answered" % origin
        finally:
            await page.close()

    async def scenario():
        await link(wine, "65.bid")
        await refused("https://first.example")
        box = wine.winctl("msgbox", "--caption", CONSENT_CAPTION, "--press", "none", timeout=30)
        assert box.returncode == 0 and "https://first.example" in box.stdout, box
        await refused("https://second.example")
        feed = await next_client(first_try=False)
        try:
            assert await feed.next_text() == request_text("65.bid")
        finally:
            await feed.close()
        pressed = wine.winctl("msgbox", "--caption", CONSENT_CAPTION, "--press", "no")
        assert pressed.returncode == 0, pressed
        assert wine.winctl("msgbox", "--caption", CONSENT_CAPTION, "--press", "none",
                           timeout=2).returncode == 1, "a second box opened"
    run(scenario(), 120)
    assert wine.remembered_origin("https://first.example") == 0
    assert wine.remembered_origin("https://second.example") is None
