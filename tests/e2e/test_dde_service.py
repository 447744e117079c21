"""The DDE face of vantrel.exe under Wine, seen by ddewatch.exe, a client that
speaks the raw WM_DDE_* messages as a spreadsheet does, under the same Wine
server. No feed client is connected, so every field is still without value:
the server answers it with a single blank.

    /usr/bin/python3 -m pytest tests/e2e/test_dde_service.py -v
"""


import pytest

from harness.wine import DDE_NO_DATA, DDE_NO_SERVER, DDE_OK, DDE_TIMEOUT

# A field without value, as ddewatch prints it: XlTable strings in quotes,
# text as it is.
BLANK = {"xltable": '" "', "text": " "}


@pytest.mark.parametrize("fmt", ["xltable", "text"])
def test_advise_on_field_without_value_answers_single_blank(vantrel, wine, fmt):
    result = wine.ddewatch("--format", fmt, "--count", 1, "1234.lastprice")
    assert result.returncode == DDE_OK, result
    assert result.values == [("1234.lastprice", BLANK[fmt])], result


# The conversation is accepted on every topic; only Quote, in any case,
# carries advise loops, and only on items made of a non-zero insref, a dot
# and a field name.
@pytest.mark.parametrize("topic, item, code, value", [
    ("Other", "55.bid", DDE_NO_DATA, "no data"),
    ("QUOTE", "55.bid", DDE_OK, BLANK["xltable"]),
    ("Quote", "abc.price", DDE_NO_DATA, "no data"),
    ("Quote", "0.price", DDE_NO_DATA, "no data"),
    ("Quote", "1234", DDE_NO_DATA, "no data"),
], ids=["other-topic", "topic-in-capitals", "insref-not-a-number", "insref-0", "no-dot"])
def test_advise_start(vantrel, wine, topic, item, code, value):
    result = wine.ddewatch("--topic", topic, "--count", 1, item)
    assert result.returncode == code, result
    assert result.values == [(item, value)], result


# A one-time request never adds to the table: it answers only for a field
# that an advise loop created.
@pytest.mark.parametrize("advised, requested, fmt, code, value", [
    (None, "4321.lastprice", "xltable", DDE_NO_DATA, "no data"),
    (None, "abc.price", "xltable", DDE_NO_DATA, "no data"),
    ("4321.lastprice", "4321.bid", "xltable", DDE_NO_DATA, "no data"),
    ("4321.lastprice", "4321.lastprice", "xltable", DDE_OK, BLANK["xltable"]),
    ("4321.lastprice", "4321.lastprice", "text", DDE_OK, BLANK["text"]),
], ids=["no-instrument", "bad-insref", "field-never-advised", "advised-xltable", "advised-text"])
def test_request(vantrel, wine, advised, requested, fmt, code, value):
    if advised:
        setup = wine.ddewatch("--count", 1, advised)
        assert setup.returncode == DDE_OK, setup
    result = wine.ddewatch("--request", "--format", fmt, requested)
    assert result.returncode == code, result
    assert result.values == [(requested, value)], result


def test_request_never_creates_the_field(vantrel, wine):
    for _ in range(2):
        result = wine.ddewatch("--request", "987.ask")
        assert result.returncode == DDE_NO_DATA, result
        assert result.values == [("987.ask", "no data")], result


def test_second_copy_reports_bind_error_and_first_keeps_serving(vantrel, wine):
    second = wine.start_vantrel()
    box = wine.winctl("msgbox", "--caption", "Quellvarden Vantrel", timeout=30)
    assert box.returncode == 0, box
    assert box.stdout.rstrip("\r\n") == "Bind Error. Program already running?", box
    assert second.wait() == 0
    assert vantrel.running()
    result = wine.ddewatch("--count", 1, "5.lastprice")
    assert result.returncode == DDE_OK, result
    assert result.values == [("5.lastprice", BLANK["xltable"])], result


# WM_CLOSE from another program destroys the window: the program withdraws
# its service name and ends with exit code 0, also while a spreadsheet
# still holds an advise loop.
@pytest.mark.parametrize("open_loop", [False, True], ids=["idle", "with-advise-loop"])
def test_wm_close_ends_with_exit_code_0(vantrel, wine, open_loop):
    if open_loop:
        watcher = wine.start("ddewatch.exe", "--timeout", 120, "--count", 2, "6.lastprice")
        watcher.wait_for_output()
    assert wine.close_vantrel(vantrel) == 0
    after = wine.ddewatch("--request", "1.x", timeout=2)
    assert after.returncode == DDE_NO_SERVER, after
    if open_loop:
        # The conversation ended with the server: the client stops waiting
        # for its second value long before its own time limit.
        assert watcher.wait(30) == DDE_TIMEOUT, watcher.result()
