"""A sheet of 20,000 RTD topics fed by a feed client on Node's ws, as a
feed that holds every value answers: the whole replay with one JSON array
message of about 1 MiB, and later one more array in fragments.

    /usr/bin/python3 -m pytest tests/e2e/test_feed_at_scale.py -v

rtdwatch.exe plays Excel; the message framing and its limits are
unit-tested (tests/unit/message_assembly_test.cpp).
"""

import shutil

import pytest

from harness import local
from harness.cells import finished, values_seen
from harness.feed import run
from harness.rtd import BLANK, RTD_OK, copy_classes_to_hklm, rtdwatch
from harness.wine import REPO, fail, parse_watch_lines, require_executables

FEED = REPO / "tests" / "e2e" / "clients" / "ws_snapshot_feed.js"
WS = REPO / "bench" / "feed" / "node_modules" / "ws" / "package.json"
FIELDS = 20000
FRAGMENTS = 8
PAD = "-0123456789ABCDEFGHIJ"  # behind every value the feed sends


def test_snapshot_of_20000_fields_in_one_message_then_in_fragments(vantrel, wine, tmp_path):
    node = shutil.which("node")
    if node is None:
        pytest.skip("node is not installed")
    if not WS.exists():
        fail("Node's ws is not installed: scripts/test.sh installs it (npm ci in bench/feed)")
    require_executables("rtdwatch.exe")
    copy_classes_to_hklm(wine)
    items = ["%d.f%d" % (2000 + n // 10, n % 10) for n in range(FIELDS)]
    go = tmp_path / "go"  # once it exists, the feed sends its fragmented message
    items_file = tmp_path / "items.txt"
    items_file.write_text("".join(item + "\n" for item in items))

    # The topics first, so that the feed is asked for them by the replay.
    sheet = rtdwatch(wine, "--throttle", 100, "--count", 3 * FIELDS, "--items-from", items_file,
                     timeout=400)

    async def scenario():
        await values_seen(sheet, FIELDS, limit=300)
        feed = local.start([node, FEED, "ws://127.0.0.1:8902/", FIELDS, go, FRAGMENTS], wine, "ws-feed")
        snapshot = local.output_line(feed, "snapshot ", limit=60)
        await values_seen(sheet, 2 * FIELDS, limit=120)
        go.touch()
        fragmented = local.output_line(feed, "fragmented ", limit=60)
        result = await finished(sheet)
        # The program never closed the feed: it would have ended.
        assert feed.running(), feed.result()
        local.stop(feed)
        return snapshot, fragmented, result

    snapshot, fragmented, result = run(scenario(), 600)
    assert int(snapshot.split()[1]) > 1000000, snapshot
    assert fragmented.endswith(" in %d fragments" % FRAGMENTS), fragmented
    assert result.returncode == RTD_OK, result
    seen = {}
    for item, value in parse_watch_lines(sheet.output()):
        seen.setdefault(item, []).append(value)
    wrong = [item for item in items
             if seen.get(item) != [BLANK, '"s:%s%s"' % (item, PAD), '"f:%s%s"' % (item, PAD)]]
    assert not wrong, "%d topics saw the wrong values, e.g. %s: %s" % (
        len(wrong), wrong[0], seen.get(wrong[0]))
