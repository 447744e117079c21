"""The feed simulator's made-up values and its two feed messages.

    /usr/bin/python3 -m pytest tests/tools -v
"""

import json
import re
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from quotes import Market, parse_request, split_item, update_message  # noqa: E402

# What the program's XlTable rendering takes as a number, and what a price
# must look like besides: positive, in cents.
PRICE = re.compile(r"^\d+\.\d\d$")


def walk(market, items, steps):
    """Every value of `items` after each of `steps` moves, one instrument
    of `items` after the other."""
    seen = []
    for step in range(steps):
        market.move(split_item(items[step % len(items)])[0])
        seen.append({item: market.value(item) for item in items})
    return seen


@pytest.mark.parametrize("seed", [0, 1, 12345], ids=["seed-0", "seed-1", "seed-12345"])
def test_prices_stay_positive_in_cents_with_bid_below_ask(seed):
    market = Market(seed)
    items = ["7.bid", "7.ask", "7.lastprice", "7.closeprice", "8.LastPrice"]
    for values in walk(market, items, 5000):
        assert all(PRICE.match(v) and float(v) > 0 for v in values.values()), values
        assert float(values["7.bid"]) < float(values["7.lastprice"]) < float(values["7.ask"]), values


def test_prices_move_and_other_fields_hold_one_text():
    items = ["7.lastprice", "7.name", "7.isin.code"]
    seen = walk(Market(3), items, 200)
    assert len({values["7.lastprice"] for values in seen}) > 20
    for item in ("7.name", "7.isin.code"):
        texts = {values[item] for values in seen}
        assert len(texts) == 1 and not PRICE.match(texts.pop())


def test_one_seed_gives_one_walk_and_another_seed_another():
    items = ["1.bid", "2.ask"]
    assert walk(Market(42), items, 100) == walk(Market(42), items, 100)
    assert walk(Market(42), items, 100) != walk(Market(43), items, 100)


@pytest.mark.parametrize("text, item", [
    ('{ "request" : "1234.lastprice" }', "1234.lastprice"),
    ('{"request":"1234.a.b"}', "1234.a.b"),
    ('{"key":"1234.lastprice","value":"1"}', None),
    ('{ "request" : 1234 }', None),
    ('{ "request" : "" }', None),
    ('["request", "1234.lastprice"]', None),
    ("request 1234.lastprice", None),
], ids=["program-spacing", "dotted-field", "an-update", "number", "empty", "array", "not-json"])
def test_parse_request(text, item):
    assert parse_request(text) == item


@pytest.mark.parametrize("item, value", [
    ("1234.lastprice", "12.50"),
    ("1234.name", "name 1234"),
    ("1234.lastprice", "null"),
    ("1234.name", "caf\u00e9"),
], ids=["price", "text-with-blank", "null", "non-ascii"])
def test_update_message_reads_back_as_json(item, value):
    assert json.loads(update_message(item, value)) == {"key": item, "value": value}
