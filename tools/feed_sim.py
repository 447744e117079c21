#!/usr/bin/python3
"""A feed client that makes up its data: it connects to the program's
WebSocket port, answers every request with a value at once and keeps the
price fields ticking (tools/quotes.py says what the values are). When the
connection drops, or the program is not there yet, it tries again every
second; Ctrl+C or SIGTERM ends it.

    /usr/bin/python3 tools/feed_sim.py [--url URL] [--rate N] [--seed N] [--outages]

--rate is the number of ticks a second (default 4): each tick moves the
price of one instrument, taken in turn in the order they were asked for,
and sends every price field of it that was asked for.
--outages makes it go away for the last 5 s of every minute it runs
(it closes the connection and connects again after them), so that a
sheet sees the feed disconnected and its times standing still; the demo
sets it.
It prints a line when it connects, is asked for a field, goes away or
loses the connection.
"""

import argparse
import asyncio
import signal
import sys
from pathlib import Path

import websockets

sys.path.insert(0, str(Path(__file__).resolve().parent))
from quotes import Market, is_price_field, parse_request, split_item, update_message  # noqa: E402

URL = "ws://127.0.0.1:8902/"
RETRY_SECONDS = 1.0
# --outages: away for the last OUTAGE_SECONDS of every OUTAGE_EVERY.
OUTAGE_EVERY = 60.0
OUTAGE_SECONDS = 5.0
# The program sends no close frame back: do not wait long for one.
CLOSE_TIMEOUT = 1.0


def log(text):
    print("feed_sim: " + text, flush=True)


class Outages:
    """When the simulator is away: the last `length` seconds of every
    `every`, counted from `start` (a time of the event loop's clock)."""

    def __init__(self, start, every=OUTAGE_EVERY, length=OUTAGE_SECONDS):
        self.start, self.every, self.length = start, every, length

    def until_away(self, now):
        """Seconds until the next outage begins; 0 during one."""
        into = (now - self.start) % self.every
        return max(0.0, self.every - self.length - into)

    def away_left(self, now):
        """Seconds until the current outage ends; 0 outside one."""
        if self.until_away(now) > 0:
            return 0.0
        return self.every - (now - self.start) % self.every


async def answer_requests(ws, market, ticking):
    """Answers every request; price fields join the ones that tick, listed
    by instrument."""
    async for message in ws:
        item = parse_request(message) if isinstance(message, str) else None
        if item is None:
            log("not a request: %r" % (message,))
            continue
        await ws.send(update_message(item, market.value(item)))
        log("asked for %s" % item)
        insref, field = split_item(item)
        if is_price_field(field) and item not in ticking.setdefault(insref, []):
            ticking[insref].append(item)


async def tick(ws, market, ticking, rate):
    """Moves `rate` instruments a second, one after the other, and sends
    their price fields."""
    loop = asyncio.get_running_loop()
    next_at = loop.time()
    turn = 0
    while True:
        next_at += 1 / rate
        await asyncio.sleep(max(0, next_at - loop.time()))
        if not ticking:
            continue
        insref = list(ticking)[turn % len(ticking)]
        turn += 1
        market.move(insref)
        for item in ticking[insref]:
            await ws.send(update_message(item, market.value(item)))


async def serve(ws, market, rate, until_away=None):
    """Plays the feed on one connection until it closes, or for
    `until_away` seconds when given."""
    ticking = {}
    tasks = [asyncio.create_task(answer_requests(ws, market, ticking)),
             asyncio.create_task(tick(ws, market, ticking, rate))]
    if until_away is not None:
        tasks.append(asyncio.create_task(asyncio.sleep(until_away)))
    try:
        done, _ = await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
        for task in done:
            task.result()  # a closed connection raises here
    finally:
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)


async def run(url, market, rate, stop, outages=None):
    """Connects, plays the feed and connects again, until `stop` is set;
    with `outages`, stays away during each."""
    loop = asyncio.get_running_loop()
    said_cannot = False
    while not stop.is_set():
        if outages and outages.away_left(loop.time()) > 0:
            await asyncio.sleep(outages.away_left(loop.time()))
        try:
            async with websockets.connect(url, ping_interval=None, close_timeout=CLOSE_TIMEOUT,
                                          open_timeout=10) as ws:
                log("connected to %s" % url)
                said_cannot = False
                until_away = outages.until_away(loop.time()) if outages else None
                await serve(ws, market, rate, until_away)
            if outages and outages.away_left(loop.time()) > 0:
                log("away for %.0f s (--outages)" % outages.away_left(loop.time()))
                continue
            log("the program closed the connection")
        except websockets.ConnectionClosed:
            log("the connection was lost")
        except (OSError, asyncio.TimeoutError, websockets.InvalidHandshake) as failure:
            if not said_cannot:
                log("cannot connect to %s (%s); trying again every %g s"
                    % (url, failure, RETRY_SECONDS))
                said_cannot = True
        await asyncio.sleep(RETRY_SECONDS)


async def main_async(args):
    # Both signals are handled here: SIGINT reaches a script's background
    # process ignored, and the scripts that start this one send SIGTERM.
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    outages = Outages(loop.time()) if args.outages else None
    feed = asyncio.create_task(run(args.url, Market(args.seed), args.rate, stop, outages))
    stopped = asyncio.create_task(stop.wait())
    await asyncio.wait([feed, stopped], return_when=asyncio.FIRST_COMPLETED)
    stopped.cancel()
    # The websockets library swallows a cancellation that comes while it
    # closes a connection: cancel again until the feed has really ended.
    while not feed.done():
        feed.cancel()
        await asyncio.wait([feed], timeout=0.5)
    if not feed.cancelled():
        feed.result()  # an unexpected failure shows


def positive(text):
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError("must be above 0")
    return value


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--url", default=URL, help="the program's address (default %s)" % URL)
    parser.add_argument("--rate", type=positive, default=4.0,
                        help="ticks a second, each moving one instrument (default 4)")
    parser.add_argument("--seed", type=int, help="the same seed gives the same prices")
    parser.add_argument("--outages", action="store_true",
                        help="go away for the last %g s of every %g s" % (OUTAGE_SECONDS, OUTAGE_EVERY))
    args = parser.parse_args()
    try:
        asyncio.run(main_async(args))
    except KeyboardInterrupt:
        pass
    log("stopped")


if __name__ == "__main__":
    main()
