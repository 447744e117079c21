"""Headless Chromium driven through its DevTools protocol, so that a test
clicks, types and reads a page of the product as a person would, with no
test code in the page itself."""

import asyncio
import itertools
import json
import shutil
import tempfile
import time
import urllib.request
from pathlib import Path

import websockets

from harness.browser import BROWSER_START_LIMIT, EVENT_LIMIT, Browser
from harness.wine import fail


class DrivenPage:
    """A page in headless Chromium with a DevTools connection to it. Use it
    as `async with DrivenPage(url, log_dir) as page:`; the browser is killed
    at the end."""

    def __init__(self, url, log_dir):
        self.url = url
        self.log_dir = Path(log_dir)
        self.profile = tempfile.mkdtemp(prefix="vantrel-chromium-")
        self.browser = None
        self.socket = None
        self.ids = itertools.count(1)

    async def __aenter__(self):
        # Port 0: Chromium picks one and writes it into the profile.
        self.browser = Browser(self.url, self.log_dir, self.profile, ["--remote-debugging-port=0"])
        try:
            self.socket = await websockets.connect(await self._page_address(), max_size=None,
                                                   ping_interval=None)
        except BaseException:
            self._stop()
            raise
        return self

    async def __aexit__(self, *exc):
        if self.socket is not None:
            await self.socket.close()
        self._stop()

    def _stop(self):
        try:
            self.browser.stop()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)

    async def _page_address(self):
        """The DevTools WebSocket address of the one page."""
        deadline = time.monotonic() + BROWSER_START_LIMIT
        active = Path(self.profile) / "DevToolsActivePort"
        while True:
            if not self.browser.running():
                fail("Chromium ended (exit code %s); logs in %s"
                     % (self.browser.popen.returncode, self.log_dir))
            if time.monotonic() > deadline:
                fail("Chromium opened no DevTools page within %s s; logs in %s"
                     % (BROWSER_START_LIMIT, self.log_dir))
            lines = active.read_text().split("\n") if active.exists() else []
            if lines and lines[0].strip():
                listed = json.loads(urllib.request.urlopen(
                    "http://127.0.0.1:%s/json/list" % lines[0].strip(), timeout=10).read())
                pages = [t for t in listed if t.get("type") == "page"]
                if pages:
                    return pages[0]["webSocketDebuggerUrl"]
            await asyncio.sleep(0.2)

    async def evaluate(self, expression):
        """The value of a JavaScript expression in the page; fails on an
        exception in the page."""
        number = next(self.ids)
        await self.socket.send(json.dumps({
            "id": number, "method": "Runtime.evaluate",
            "params": {"expression": expression, "returnByValue": True, "awaitPromise": True}}))
        while True:
            answer = json.loads(await asyncio.wait_for(self.socket.recv(), EVENT_LIMIT))
            if answer.get("id") == number:  # anything else is an event
                break
        if "error" in answer or "exceptionDetails" in answer.get("result", {}):
            fail("the page threw on %s: %s" % (expression, answer))
        return answer["result"]["result"].get("value")

    async def wait_until(self, expression, what, limit=EVENT_LIMIT):
        """Waits until `expression` gives a true value, and gives it."""
        deadline = time.monotonic() + limit
        while True:
            value = await self.evaluate(expression)
            if value:
                return value
            if time.monotonic() > deadline:
                fail("no %s within %s s (the page shows: %s)"
                     % (what, limit, await self.evaluate("document.body.innerText")))
            await asyncio.sleep(0.1)
