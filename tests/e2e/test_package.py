"""scripts/package.sh is reproducible: a second run from the same commit, in
another build folder, writes the zip, the MSI and the checksums of dist/
(the test command's run) byte for byte again.

    /usr/bin/python3 -m pytest tests/e2e/test_package.py
"""

import subprocess

from harness.wine import REPO

DIST = REPO / "dist"


def test_second_run_writes_identical_packages(tmp_path):
    again = tmp_path / "dist"
    log = tmp_path / "package.log"
    with open(log, "wb") as out:
        code = subprocess.run(["bash", str(REPO / "scripts" / "package.sh"),
                               "--build-dir", str(tmp_path / "build"), "--dist", str(again)],
                              stdin=subprocess.DEVNULL, stdout=out, stderr=out, timeout=900).returncode
    assert code == 0, log.read_text()
    written = sorted(p.name for p in again.iterdir())
    assert len(written) == 4, written
    for name in written:
        assert (DIST / name).is_file(), "%s missing in %s: run scripts/package.sh" % (name, DIST)
        assert (again / name).read_bytes() == (DIST / name).read_bytes(), \
            "%s differs from the one in %s (changed sources since it was made?)" % (name, DIST)
