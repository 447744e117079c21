"""Fixtures of the end-to-end tests; what they are built from is in harness/.

The Wine prefix of role e2e (null graphics driver) is made once and reused;
its server is started, persistent, when the first test that needs Wine runs
and stopped when the session ends, whatever the outcome. Each test's logs go
to build/artifacts/e2e/<test>/.
"""

import re
import shutil

import pytest

from harness.wine import ARTIFACTS, Wine, fail, require_executables, running_prefix, serving_vantrel

E2E_ARTIFACTS = ARTIFACTS / "e2e"


@pytest.fixture(scope="session")
def wine_env():
    """The environment of every Wine call, with the prefix created and its
    server running; the server is stopped when the session ends."""
    require_executables()
    shutil.rmtree(E2E_ARTIFACTS, ignore_errors=True)
    E2E_ARTIFACTS.mkdir(parents=True)
    with running_prefix("e2e", "null", E2E_ARTIFACTS / "wine-prefix.log") as env:
        yield env


@pytest.fixture
def wine(wine_env, request):
    """The Wine runner of this test; at its end, every process the test left
    running is closed, a vantrel.exe with WM_CLOSE, anything else stopped."""
    runner = Wine(wine_env, E2E_ARTIFACTS / re.sub(r"[^A-Za-z0-9_.-]+", "_", request.node.name))
    yield runner
    runner.close_all()


@pytest.fixture
def vantrel(wine):
    """vantrel.exe, started and serving DDE. At the end of the test it is
    closed with WM_CLOSE, unless the test did so, and must end with exit
    code 0."""
    with serving_vantrel(wine) as app:
        yield app
        if not app.running() and not app.close_requested:
            fail("vantrel.exe ended during the test with exit code %s; logs in %s"
                 % (app.popen.returncode, wine.log_dir))
