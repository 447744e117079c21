"""The main window of vantrel.exe under Wine's null driver: its close box and
minimise box only hide it while the program goes on serving, and File > Exit
ends it. The messages are the ones the window's controls would send.

    /usr/bin/python3 -m pytest tests/e2e/test_main_window.py -v
"""

import pytest

from harness.wine import DDE_NO_SERVER, DDE_OK

WM_COMMAND, WM_SYSCOMMAND = 0x111, 0x112
SC_MINIMIZE, SC_CLOSE = 0xF020, 0xF060
IDM_EXIT = 105


def post(wine, *message):
    posted = wine.winctl("post", "--class", "VANTREL", *["0x%x" % m for m in message])
    assert posted.returncode == 0, posted


def visible(wine):
    found = wine.winctl("find", "--class", "VANTREL")
    assert found.returncode == 0, found
    return "visible=1" in found.stdout


@pytest.mark.parametrize("command", [SC_CLOSE, SC_MINIMIZE | 0xF], ids=["close-box", "minimize"])
def test_close_and_minimize_only_hide(vantrel, wine, command):
    assert visible(wine)
    post(wine, WM_SYSCOMMAND, command)
    assert not visible(wine)
    assert vantrel.running()
    served = wine.ddewatch("--count", 1, "7.lastprice")
    assert served.returncode == DDE_OK, served


def test_file_exit_ends_with_exit_code_0(vantrel, wine):
    vantrel.close_requested = True
    post(wine, WM_COMMAND, IDM_EXIT)
    assert vantrel.wait() == 0
    after = wine.ddewatch("--request", "1.x", timeout=2)
    assert after.returncode == DDE_NO_SERVER, after
