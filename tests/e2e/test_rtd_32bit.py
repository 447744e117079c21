"""A 32-bit Excel on 64-bit Windows, the most common Office install, meets
the 64-bit program across WoW64 (Wine's 32-bit half): rtdwatch32.exe plays
it. A test prefix has no Office, so the tests register in the 32-bit view
what a 32-bit Office would: a type library of their own for Excel's two RTD
interfaces (build/windows32/office_rtd32.tlb, its own LIBID), under
HKEY_LOCAL_MACHINE, where Wine's COM reads classes. The program never writes
the 32-bit view.

    /usr/bin/python3 -m pytest tests/e2e/test_rtd_32bit.py -v
"""

import json

import pytest

from harness.cells import finished, values_seen
from harness.feed import library_client, next_message, request_text, run
from harness.rtd import BLANK, LIBID, RTD_IIDS, RTD_OK, copy_classes_to_hklm, rtdwatch, windows_path
from harness.wine import built_path, fail, require_executables, serving_vantrel

OFFICE_LIBID = "{5E3C1F27-8B4D-4E6A-9C21-7F0D3B5A9E48}"
OFFICE_VERSION = "1.9"
MARSHALER = "{00020424-0000-0000-C000-000000000046}"
CLASSES = r"HKLM\Software\Classes"


def reg32(wine, *args):
    """Wine's reg on the 32-bit view of the registry."""
    return wine.run("reg", *args, "/reg:32", limit=60)


def add32(wine, key, value, name=None):
    where = ["/v", name] if name else ["/ve"]
    result = reg32(wine, "add", key, *where, "/d", value, "/f")
    if result.returncode != 0:
        fail("cannot write %s in the 32-bit view\n%s" % (key, result))


def register_interface32(wine, iid, library, version):
    key = CLASSES + "\\Interface\\" + iid
    add32(wine, key, "RTD interface")
    add32(wine, key + "\\ProxyStubClsid32", MARSHALER)
    add32(wine, key + "\\TypeLib", library)
    add32(wine, key + "\\TypeLib", version, name="Version")


def library_of32(wine, iid):
    """The LIBID the 32-bit view's key of iid names, or None."""
    result = reg32(wine, "query", CLASSES + "\\Interface\\" + iid + "\\TypeLib", "/ve")
    if result.returncode != 0:
        return None
    return result.stdout.split()[-1].upper()


@pytest.fixture
def office32(wine):
    """A machine with only a 32-bit Office: its registration of the two RTD
    interfaces in the 32-bit view, and none of them in the 64-bit view (as
    no earlier test had run the program)."""
    for root in ("HKLM", "HKCU"):
        for key in ["Interface\\" + iid for iid in RTD_IIDS] + ["TypeLib\\" + LIBID]:
            wine.run("reg", "delete", root + "\\Software\\Classes\\" + key, "/f", "/reg:64", limit=60)
    library = built_path("office_rtd32.tlb")
    if not library:
        fail("missing office_rtd32.tlb: build it with scripts/build.sh windows")
    key = CLASSES + "\\TypeLib\\" + OFFICE_LIBID + "\\" + OFFICE_VERSION
    add32(wine, key, "Office RTD stand-in")
    add32(wine, key + "\\FLAGS", "0")
    add32(wine, key + "\\0\\win32", windows_path(library))
    for iid in RTD_IIDS:
        register_interface32(wine, iid, OFFICE_LIBID, OFFICE_VERSION)


@pytest.fixture
def rtd32(office32, vantrel, wine):
    require_executables("rtdwatch32.exe")
    copy_classes_to_hklm(wine)
    return vantrel


def test_a_32bit_client_gets_values_and_hears_disconnect_at_exit(rtd32, wine):
    async def scenario():
        async with library_client() as ws:
            topic = wine.start("rtdwatch32.exe", "--timeout", 60, "--throttle", 100, "1234.lastprice")
            assert await next_message(ws) == request_text("1234.lastprice")
            await values_seen(topic, 1)
            await ws.send(json.dumps({"key": "1234.lastprice", "value": 12.5}))
            await values_seen(topic, 2)
            return topic
    topic = run(scenario(), 90)
    rtd32.close_requested = True
    posted = wine.winctl("post", "--class", "VANTREL", "0x111", 105)
    assert posted.returncode == 0, posted
    assert rtd32.wait() == 0
    code = topic.wait(30)
    result = topic.result()
    assert code == RTD_OK, result
    assert result.values == [("1234.lastprice", BLANK), ("1234.lastprice", "12.5"),
                             ("(server)", "Disconnect")], result


def test_a_start_removes_an_older_versions_keys_from_the_32bit_view_and_leaves_offices(office32, wine):
    # What an older version's registration left: the 32-bit view of one
    # interface pointed at the program's library.
    register_interface32(wine, RTD_IIDS[0], LIBID, "1.0")
    with serving_vantrel(wine):
        pass
    assert library_of32(wine, RTD_IIDS[0]) is None
    assert library_of32(wine, RTD_IIDS[1]) == OFFICE_LIBID
