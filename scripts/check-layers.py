#!/usr/bin/python3
"""Fails when a file of the program includes a header of a layer above its
own. The layers, and the arrows allowed between them:

    app  -> dde, feed, rtd, core
    dde  -> core
    rtd  -> core
    feed -> core
    core -> (nothing of the program)

    /usr/bin/python3 scripts/check-layers.py     (exit 0: arrows only downwards)
"""

import re
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]

ALLOWED = {
    "core": {"core"},
    "dde": {"dde", "core"},
    "rtd": {"rtd", "core"},
    "feed": {"feed", "core"},
    "app": {"app", "dde", "feed", "rtd", "core"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def violations(repo=REPO):
    """(file, included header) for every include that points upwards or
    sideways."""
    found = []
    for layer, allowed in ALLOWED.items():
        for path in sorted((repo / layer).rglob("*")):
            if path.suffix not in (".h", ".cpp", ".rc"):
                continue
            for header in INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace")):
                target = header.split("/", 1)[0] if "/" in header else layer
                if target in ALLOWED and target not in allowed:
                    found.append((path.relative_to(repo), header))
    return found


def main():
    found = violations()
    for path, header in found:
        print("%s includes %s, a layer it must not use" % (path, header))
    if found:
        print("layers: %d include(s) point the wrong way" % len(found))
        return 1
    print("layers: every include points downwards")
    return 0


if __name__ == "__main__":
    sys.exit(main())
