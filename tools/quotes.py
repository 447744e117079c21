"""Made-up market data for the feed simulator: a value for any field, and a
random walk for the fields that hold prices.

Every instrument has one mid price that walks; its price-like fields are
read off it: bid half a spread below, ask
half a spread above, every other price field at the mid. A price is always
positive and written with two decimals ("123.45"). Any other field holds a
fixed text that names it. The same seed gives the same prices in the same
order of calls.

The two feed messages, as the program reads and writes them:

    request, program to feed:  { "request" : "1234.lastprice" }
    update, feed to program:   {"key":"1234.lastprice","value":"12.50"}

The value is always a quoted text, and "null" clears the field.
"""

import json
import math
import random

PRICE_FIELDS = {"lastprice", "last", "bid", "ask", "high", "low", "open", "close", "mid"}
# Offsets from the mid price, in half spreads.
SPREAD_SIDE = {"bid": -1, "ask": 1}
# A step of the walk moves the price by this fraction, typically.
VOLATILITY = 0.002
SPREAD = 0.001
CENT = 0.01


def split_item(item):
    """(insref, field) of an item such as "1234.lastprice"; the field may
    itself contain dots."""
    insref, _, field = item.partition(".")
    return insref, field


def is_price_field(field):
    name = field.lower()
    return name in PRICE_FIELDS or name.endswith("price")


def format_price(price):
    return "%.2f" % price


def parse_request(text):
    """The item a request message asks for, or None for anything else."""
    try:
        message = json.loads(text)
    except ValueError:
        return None
    item = message.get("request") if isinstance(message, dict) else None
    return item if isinstance(item, str) and item else None


def update_message(item, value):
    """An update, written by Python's JSON library with its defaults."""
    return json.dumps({"key": item, "value": value})


class Market:
    """The instruments' mid prices, made up as they are first asked for."""

    def __init__(self, seed=None):
        self.random = random.Random(seed)
        self.mids = {}

    def _mid(self, insref):
        if insref not in self.mids:
            self.mids[insref] = round(self.random.uniform(5, 500), 2)
        return self.mids[insref]

    def value(self, item):
        """The field's current value."""
        insref, field = split_item(item)
        if not is_price_field(field):
            return "%s %s" % (field, insref)
        mid = self._mid(insref)
        half_spread = max(CENT, round(mid * SPREAD / 2, 2))
        # Keep a bid at least a cent above zero.
        mid = max(mid, half_spread + CENT)
        return format_price(mid + SPREAD_SIDE.get(field.lower(), 0) * half_spread)

    def move(self, insref):
        """Moves the instrument's mid price one step of the walk."""
        mid = self._mid(insref) * math.exp(self.random.gauss(0, VOLATILITY))
        self.mids[insref] = max(CENT, round(mid, 2))
