"""The installer, used under Wine as a desk's IT or a trader would: msiexec
/i and /x with /qn, in a Wine prefix of this module's own, made anew each
run (a fresh user profile); its server ends with the module and takes every
copy the installer started with it.

Needs dist/'s zip and MSI (the test command runs scripts/package.sh once)
and build/windows/{ddewatch,winctl,lookalike}.exe; packages the next version up once.

    /usr/bin/python3 -m pytest tests/e2e/test_install.py -v
"""

import asyncio
import getpass
import json
import re
import shutil
import subprocess
import sys
import time
import zipfile
from pathlib import Path

import pytest
import websockets

from harness.wine import (ARTIFACTS, DDE_OK, EXE_DIR, FEED_PORT, REPO, STARTUP_LIMIT, WM_CLOSE, Wine,
                          parse_watch_lines, prefix_command, prefix_env, require_executables,
                          running_prefix, wait_for_free_port)

sys.path.insert(0, str(REPO / "tools"))
import check_resources  # noqa: E402

PREFIX = Path(prefix_env("install")["WINEPREFIX"])
LOGS = ARTIFACTS / "install"
SYSTEM32 = PREFIX / "drive_c" / "windows" / "system32"
# A per-user install belongs in the user's local application data.
USER_DIR = PREFIX / "drive_c" / "users" / getpass.getuser()
INSTALL_DIR = USER_DIR / "AppData" / "Local" / "Programs" / "Quellvarden Vantrel"
# A per-machine install belongs in Program Files.
MACHINE_DIR = PREFIX / "drive_c" / "Program Files" / "Quellvarden Vantrel"
SHORTCUT = USER_DIR / "AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Quellvarden Vantrel.lnk"

RUN_KEY = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run"
# The RTD server's class, for the user, and the type library the program
# registers where Excel's is missing (for the user; under Wine for the machine).
RTD_CLASS_KEY = r"HKEY_CURRENT_USER\Software\Classes\CLSID\{51F696D5-6C46-424D-95EE-29A10B7AB50B}"
RTD_PROGID_KEY = r"HKEY_CURRENT_USER\Software\Classes\Quellvarden.Quote"
RTD_MACHINE_CLASS_KEY = RTD_CLASS_KEY.replace("HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE")
MACHINE_RUN_KEY = RUN_KEY.replace("HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE")
RTD_TYPE_LIBRARY = "{0CAE415D-A262-4A16-8D6A-33E68156F6F9}"
ORIGINS_KEY = r"HKEY_CURRENT_USER\Software\Quellvarden\Vantrel\Origins"
# The list of installed programs (lower case).
UNINSTALL_KEYS = (r"hkey_local_machine\software\microsoft\windows\currentversion\uninstall",
                  r"hkey_current_user\software\microsoft\windows\currentversion\uninstall")
# What a snapshot covers, less Wine's own state, which it rewrites whenever
# a window first opens.
SNAPSHOT_KEYS = ("HKCU\\Software", "HKLM\\Software")
WINE_OWN_KEY = "HKEY_CURRENT_USER\\Software\\Wine"
ITEM = "1234.lastprice"


def windows_path(path):
    """A Linux path as Wine's drive Z: shows it."""
    return "Z:" + str(path).replace("/", "\\")


def drive_c_path(path):
    """A file of the prefix's drive C: as Windows programs see it."""
    return "C:\\" + str(path.relative_to(PREFIX / "drive_c")).replace("/", "\\")


REG_STRING = r'"(?:[^"\\]|\\.)*"'


def unescape(text):
    return re.sub(r"\\(.)", r"\1", text)


def read_reg_export(path):
    """{key: {value name: data}} of a `reg export` file; string data as the
    string, other data as written ("dword:00000001")."""
    keys, key, pending = {}, None, ""
    for line in path.read_bytes().decode("utf-16").splitlines():
        line, pending = pending + line.strip(), ""
        if line.startswith("[") and line.endswith("]"):
            key = keys.setdefault(line[1:-1], {})
        elif line.endswith("\\"):
            pending = line[:-1]
        elif key is not None and "=" in line:
            name, data = re.match(r'^(@|%s)=(.*)$' % REG_STRING, line).groups()
            if re.fullmatch(REG_STRING, data):
                data = unescape(data[1:-1])
            key[unescape(name.strip('"'))] = data
    return keys


def run_value(registry):
    """The program's Run value, or None."""
    return registry.get(RUN_KEY, {}).get("Quellvarden Vantrel")


def interfaces_naming_the_type_library(registry):
    """Every Interface key whose TypeLib names the program's type library."""
    return sorted(key.rpartition("\\")[0] for key, values in registry.items()
                  if "\\interface\\" in key.lower() and key.lower().endswith("\\typelib")
                  and values.get("@", "").upper() == RTD_TYPE_LIBRARY)


def listed_versions(registry):
    """The version of each entry of the program in the installed programs."""
    return sorted(values.get("DisplayVersion") for key, values in registry.items()
                  if key.rpartition("\\")[0].lower() in UNINSTALL_KEYS
                  and values.get("DisplayName") == "Quellvarden Vantrel")


class Desk:
    """The user's machine under test."""

    def __init__(self, wine):
        self.wine = wine

    def msiexec(self, action, msi, *properties):
        """msiexec ACTION MSI /qn [PROPERTY=VALUE...], logged in self.log;
        its exit code."""
        log = self.wine.log_dir / ("%02d-msiexec%s-%s.log" % (self.wine.count + 1, action.replace("/", "-"),
                                                             msi.stem))
        self.log = log
        return self.wine.run(SYSTEM32 / "msiexec.exe", action, windows_path(msi), "/qn", "/l*v",
                             windows_path(log), *properties, limit=120).returncode

    def install(self, action, msi, *properties):
        code = self.msiexec(action, msi, *properties)
        assert code == 0, "msiexec %s %s ended with %d; log in %s" % (action, msi.name, code,
                                                                       self.wine.log_dir)

    def registry(self):
        keys = {}
        for root in SNAPSHOT_KEYS:
            export = self.wine.log_dir / "export.reg"
            result = self.wine.run(SYSTEM32 / "reg.exe", "export", root, windows_path(export), "/y",
                                   limit=60)
            assert result.returncode == 0, result
            keys.update(read_reg_export(export))
        return keys

    def snapshot(self):
        """Every file of drive C: and every value the install could touch."""
        lines = {"file %s" % p.relative_to(PREFIX) for p in (PREFIX / "drive_c").rglob("*")}
        for key, values in self.registry().items():
            if not (key + "\\").startswith(WINE_OWN_KEY + "\\"):
                lines.add("key %s" % key)
                lines.update("value %s\\%s=%s" % (key, name, data) for name, data in values.items())
        return lines

    def remember_origin(self, origin, allowed):
        """Writes an origin answer where the program keeps it."""
        result = self.wine.run(SYSTEM32 / "reg.exe", "add", ORIGINS_KEY, "/v", origin, "/t", "REG_DWORD",
                               "/d", int(allowed), "/f", limit=60)
        assert result.returncode == 0, result

    def copies(self):
        """{pid: image} of every vantrel.exe running in this prefix."""
        found = {}
        for proc in Path("/proc").iterdir():
            try:
                environ = (proc / "environ").read_bytes().split(b"\0")
                image = (proc / "cmdline").read_bytes().split(b"\0")[0].strip().decode()
            except (OSError, ValueError):
                continue
            if ("WINEPREFIX=%s" % PREFIX).encode() in environ and image.lower().endswith("vantrel.exe"):
                found[int(proc.name)] = image
        return found

    def wait_for_copies(self, count):
        """Waits until exactly `count` copies run, serving DDE if one does."""
        deadline = time.monotonic() + STARTUP_LIMIT
        while True:
            copies = self.copies()
            if len(copies) == count and (count == 0 or self.wine.serves_dde()):
                return copies
            assert time.monotonic() < deadline, "copies running: %s, expected %d" % (copies, count)
            time.sleep(0.2)

    def close_copies(self):
        """Closes every copy as another program would."""
        if self.copies():
            self.wine.winctl("post", "--class", "VANTREL", "0x%x" % WM_CLOSE)
        self.wait_for_copies(0)

    def start_installed(self):
        """The installed vantrel.exe, started by the test so that its exit
        code shows, and serving."""
        self.close_copies()
        wait_for_free_port()
        app = self.wine.start(INSTALL_DIR / "vantrel.exe")
        self.wait_for_copies(1)
        return app


@pytest.fixture(scope="module")
def packages():
    """dist/'s zip and MSI, and the MSI of the next version up."""
    version = re.search(r"project\(vantrel VERSION (\d+)\.(\d+)\.(\d+)",
                        (REPO / "CMakeLists.txt").read_text()).groups()
    higher = "%s.%s.%d" % (version[0], version[1], int(version[2]) + 1)
    name = "vantrel-%s-win64" % ".".join(version)
    found = {"zip": REPO / "dist" / (name + ".zip"), "msi": REPO / "dist" / (name + ".msi"),
             "machine": REPO / "dist" / (name + "-machine.msi")}
    for path in found.values():
        assert path.is_file(), "%s is missing: run scripts/package.sh" % path
    LOGS.mkdir(parents=True, exist_ok=True)
    build = REPO / "build" / "package-upgrade"
    with open(LOGS / "package-upgrade.log", "wb") as log:
        code = subprocess.run(["bash", str(REPO / "scripts" / "package.sh"), "--version", higher,
                               "--build-dir", str(build), "--dist", str(build / "dist")],
                              stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=900).returncode
    assert code == 0, "packaging %s failed; log in %s" % (higher, LOGS)
    return dict(found, version=".".join(version), higher=higher,
                upgrade=build / "dist" / ("vantrel-%s-win64.msi" % higher))


@pytest.fixture(scope="module")
def install_env(packages):
    """A new Wine prefix whose server runs until the module ends, in which
    Windows Installer has been used once already (the package installed and
    removed), as on any Windows machine: its own bookkeeping, made at its
    first use, is then no part of what a test sees an install leave. (Wine's
    installer also deletes a key that it leaves without values, as the
    user's empty Run key at that first removal; Windows keeps it.)"""
    require_executables("vantrel.exe", "ddewatch.exe", "winctl.exe", "lookalike.exe")
    LOGS.mkdir(parents=True, exist_ok=True)
    log = LOGS / "wine-prefix.log"
    if PREFIX.exists():
        prefix_command("stop", "install", log_path=log, limit=120)
        shutil.rmtree(PREFIX)
    with running_prefix("install", "null", log) as env:
        first_use = Desk(Wine(env, LOGS / "first-use"))
        for msi in (packages["msi"], packages["machine"]):
            first_use.install("/i", msi)
            first_use.install("/x", msi)
        first_use.close_copies()
        yield env


@pytest.fixture
def desk(install_env, packages, request):
    """The user's machine without the program; what the test installed is
    removed at its end and every copy closed."""
    wine = Wine(install_env, LOGS / re.sub(r"[^A-Za-z0-9_.-]+", "_", request.node.name))
    wine.log_dir.mkdir(parents=True, exist_ok=True)
    desk = Desk(wine)
    yield desk
    for msi in (packages["upgrade"], packages["msi"], packages["machine"]):
        desk.msiexec("/x", msi)
    wine.close_all()
    desk.close_copies()


@pytest.mark.parametrize("autostart", [True, False], ids=["default", "AUTOSTART=0"])
def test_install_puts_the_zips_files_a_shortcut_and_autostart_as_asked(desk, packages, autostart):
    desk.install("/i", packages["msi"], *([] if autostart else ["AUTOSTART=0"]))

    with zipfile.ZipFile(packages["zip"]) as zipped:
        assert {p.name: p.read_bytes() for p in INSTALL_DIR.iterdir()} \
            == {name: zipped.read(name) for name in zipped.namelist()}
    exe = drive_c_path(INSTALL_DIR / "vantrel.exe")
    # The link's target, as its ANSI local path.
    assert exe.encode("cp1252") + b"\0" in SHORTCUT.read_bytes()
    registry = desk.registry()
    assert listed_versions(registry) == [packages["version"]]
    # Where COM finds the RTD server: the installed program, quoted.
    assert registry[RTD_CLASS_KEY + "\\LocalServer32"] == {"@": '"%s"' % exe}
    assert registry[RTD_PROGID_KEY + "\\CLSID"] == {"@": "{51F696D5-6C46-424D-95EE-29A10B7AB50B}"}
    # Quoted, as the path has blanks, and saying the start is a logon's
    # (for the log); and the installer has started it.
    if autostart:
        assert run_value(registry) == '"%s" /logon' % exe
        assert list(desk.wait_for_copies(1).values()) == [exe]
    else:
        assert run_value(registry) is None
        assert desk.wait_for_copies(0) == {}


def test_logon_starts_the_program_the_run_value_names(desk, packages):
    desk.install("/i", packages["msi"])
    desk.close_copies()
    # What Wine does at a logon, the Run keys' programs included.
    assert desk.wine.run(SYSTEM32 / "wineboot.exe", limit=60).returncode == 0
    desk.wait_for_copies(1)


def test_installed_program_serves_dde_and_a_feed_client(desk, packages):
    desk.install("/i", packages["msi"], "AUTOSTART=0")
    app = desk.start_installed()

    async def scenario():
        async with websockets.connect("ws://127.0.0.1:%d/" % FEED_PORT, ping_interval=None) as ws:
            cell = desk.wine.start("ddewatch.exe", "--timeout", 30, "--count", 2, ITEM)
            request = json.loads(await ws.recv())
            while not parse_watch_lines(cell.output()) and cell.running():
                await asyncio.sleep(0.05)
            await ws.send(json.dumps({"key": request["request"], "value": "12.5"}))
            while cell.running():
                await asyncio.sleep(0.05)
            return request, cell.result()

    request, cell = asyncio.run(asyncio.wait_for(scenario(), 90))
    assert request == {"request": ITEM}
    assert cell.returncode == DDE_OK and cell.values[-1] == (ITEM, "12.5"), cell
    assert desk.wine.close_vantrel(app) == 0


# An upgrade given no AUTOSTART keeps the older version's choice; the copy
# it closed is started again either way.
@pytest.mark.parametrize("autostart", [True, False], ids=["autostart-on", "autostart-off"])
def test_upgrade_while_running_replaces_the_copy_and_keeps_origins(desk, packages, autostart):
    desk.install("/i", packages["msi"], *([] if autostart else ["AUTOSTART=0"]))
    old = desk.start_installed()
    desk.remember_origin("https://quotes.example", True)

    desk.install("/i", packages["upgrade"])

    assert old.wait() == 0, "the older copy did not close as on WM_CLOSE"
    image = (INSTALL_DIR / "vantrel.exe").read_bytes()
    assert check_resources.read_version(image, check_resources.read_resources(image))["file"] \
        == packages["higher"] + ".0"
    assert old.popen.pid not in desk.wait_for_copies(1)
    registry = desk.registry()
    assert listed_versions(registry) == [packages["higher"]]
    assert (run_value(registry) is not None) == autostart
    assert registry[ORIGINS_KEY] == {"https://quotes.example": "dword:00000001"}


# The origins the program remembers are the user's answers, not installed:
# they stay, and with none the program's keys go too.
@pytest.mark.parametrize("origins", [{}, {"https://quotes.example": True, "https://ads.example": False}],
                         ids=["no-origins", "origins-remembered"])
def test_uninstall_while_running_leaves_nothing_install_wrote(desk, packages, origins):
    for origin, allowed in origins.items():
        desk.remember_origin(origin, allowed)
    before = desk.snapshot()
    desk.install("/i", packages["msi"])
    desk.wait_for_copies(1)
    # No Excel in the prefix: the program registered its own type library,
    # and only in the 64-bit view, which a 32-bit Office does not read.
    ours = interfaces_naming_the_type_library(desk.registry())
    assert ours != [] and not [key for key in ours if "wow6432node" in key.lower()], ours

    desk.install("/x", packages["msi"])

    assert desk.wait_for_copies(0) == {}
    assert interfaces_naming_the_type_library(desk.registry()) == []
    after = desk.snapshot()
    assert after == before, "left behind: %s; gone: %s" % (sorted(after - before), sorted(before - after))


# For IT, as the system account: the RTD server and its interfaces for every
# user (an elevated Excel reads only the machine's classes), autostart for
# every user, and the program started from it leaves the user's classes
# alone; removing it leaves nothing.
def test_per_machine_install_serves_every_user_and_uninstall_leaves_nothing(desk, packages):
    before = desk.snapshot()
    desk.install("/i", packages["machine"])

    exe = drive_c_path(MACHINE_DIR / "vantrel.exe")
    registry = desk.registry()
    assert registry[RTD_MACHINE_CLASS_KEY + "\\LocalServer32"] == {"@": '"%s"' % exe}
    assert registry[MACHINE_RUN_KEY]["Quellvarden Vantrel"] == '"%s" /logon' % exe
    ours = interfaces_naming_the_type_library(registry)
    assert ours and all(key.upper().startswith("HKEY_LOCAL_MACHINE\\SOFTWARE\\CLASSES\\INTERFACE")
                        for key in ours), ours
    assert desk.wait_for_copies(0) == {}, "the per-machine package starts nothing"
    app = desk.wine.start(MACHINE_DIR / "vantrel.exe")
    desk.wait_for_copies(1)
    assert RTD_CLASS_KEY + "\\LocalServer32" not in desk.registry()
    assert desk.wine.close_vantrel(app) == 0

    desk.install("/x", packages["machine"])
    # Wine's installer deletes the machine's Run key once it holds no value
    # (Windows keeps it), and Wine's logon makes it again: the key alone is
    # no part of what the install left.
    empty_run_key = {"key %s" % MACHINE_RUN_KEY}
    after = desk.snapshot() - empty_run_key
    before -= empty_run_key
    assert after == before, "left behind: %s; gone: %s" % (sorted(after - before), sorted(before - after))


# Only a program named vantrel.exe (in any case) is asked to close; one that
# stays makes the install fail (1603, of which Linux keeps the low byte) with
# the reason in the log, and is never killed. Another program's window of
# the same class is left alone.
@pytest.mark.parametrize("name, asked, code",
                         [("lookalike.exe", False, 0), ("VANTREL.EXE", True, 1603 & 0xFF)],
                         ids=["other-program", "copy-that-stays"])
def test_install_asks_only_vantrel_to_close(desk, packages, name, asked, code):
    exe = desk.wine.log_dir / name
    shutil.copyfile(EXE_DIR / "lookalike.exe", exe)
    other = desk.wine.start(exe, "VANTREL")
    other.wait_for_output()

    assert desk.msiexec("/i", packages["msi"]) == code

    assert other.running() and other.output().split() == ["ready"] + ["WM_CLOSE"] * asked
    if code == 0:
        desk.wait_for_copies(1)
    else:
        assert "tray icon" in desk.log.read_text(), "no reason in %s" % desk.log
        assert listed_versions(desk.registry()) == []
