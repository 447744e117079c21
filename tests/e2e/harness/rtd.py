"""rtdwatch.exe as Excel's =RTD() cells, and the class keys that Wine's COM
needs to find the program."""

import time

from harness.wine import fail, wait_for_free_port

CLSID = "{51F696D5-6C46-424D-95EE-29A10B7AB50B}"
LIBID = "{0CAE415D-A262-4A16-8D6A-33E68156F6F9}"
RTD_IIDS = ["{EC0E6191-DB51-11D3-8F3E-00C04F3651B8}", "{A43788C1-D91B-11D3-8F39-00C04F3651B8}"]
# The keys the program writes for the user: the class and the ProgID, and
# (where no usable ones are there yet) the two interfaces and their library.
CLASS_KEYS = [r"Software\Classes\CLSID" + "\\" + CLSID, r"Software\Classes\Quellvarden.Quote"]
INTERFACE_KEYS = [r"Software\Classes\Interface" + "\\" + iid for iid in RTD_IIDS] + \
    [r"Software\Classes\TypeLib" + "\\" + LIBID]
# What Excel shows for a topic the server refuses, as rtdwatch prints it.
NA = "#N/A"
BLANK = '" "'
# rtdwatch's exit codes.
RTD_OK, RTD_FAULT, RTD_NO_SERVER, RTD_TIMEOUT = 0, 1, 2, 3
WM_COMMAND, IDM_EXIT = 0x111, 105


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def copy_classes_to_hklm(wine):
    """Windows merges HKEY_CURRENT_USER\\Software\\Classes, where the
    program registers its RTD server for the user, into HKEY_CLASSES_ROOT;
    Wine's COM reads classes only from HKEY_LOCAL_MACHINE\\Software\\Classes.
    So the tests copy the keys the program wrote there, in their own
    prefix (in its 64-bit view: Wine's own reg runs as a 64-bit program).
    The program itself never writes HKLM."""
    exported = wine.log_dir / "rtd-classes.reg"
    for key in CLASS_KEYS + INTERFACE_KEYS:
        result = wine.run("reg", "export", "HKCU\\" + key, windows_path(exported), "/y", limit=60)
        if result.returncode != 0 and key in INTERFACE_KEYS:
            continue  # usable ones were there already
        if result.returncode != 0:
            fail("the program wrote no %s under HKCU\n%s" % (key, result))
        text = exported.read_bytes().decode("utf-16")
        exported.write_bytes(text.replace("[HKEY_CURRENT_USER\\", "[HKEY_LOCAL_MACHINE\\").encode("utf-16"))
        result = wine.run("reg", "import", windows_path(exported), limit=60)
        if result.returncode != 0:
            fail("cannot import %s under HKLM\n%s" % (key, result))


def rtdwatch(wine, *args, timeout=60):
    """Starts rtdwatch in the background; the cells.py waits work on it."""
    return wine.start("rtdwatch.exe", "--timeout", timeout, *args)


def exit_com_started_copy(wine, limit=30):
    """Ends a copy of the program that COM started, which the harness has
    no process of, with File > Exit (never by killing it: a killed server
    blocks its class in the prefix until every process there has ended)."""
    posted = wine.winctl("post", "--class", "VANTREL", "0x%x" % WM_COMMAND, IDM_EXIT)
    if posted.returncode != 0:
        fail("no window of the program to post File > Exit to\n%s" % posted)
    gone = wine.winctl("find", "--class", "VANTREL", "--gone", timeout=limit)
    if gone.returncode != 0:
        fail("the program's window is still there %s s after File > Exit\n%s" % (limit, gone))
    wait_for_free_port(limit)
    # The window goes before the process ends and lets go of COM.
    time.sleep(1)
