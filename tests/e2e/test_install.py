"""The installer of scripts/package.sh, used under Wine as a desk's IT or a
trader would: msiexec /i and /x with /qn, in a Wine prefix of this module's
own, made anew each run (a fresh user profile, whose server ends with the
module, taking every copy the installer started with it).

Needs dist/vantrel-VERSION-win64.msi and .zip (the test command runs
scripts/package.sh once) and build/windows/{ddewatch,winctl}.exe; builds
the next version up once, to upgrade to.

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

from conftest import (ARTIFACTS, DDE_OK, FEED_PORT, REPO, STARTUP_LIMIT, WINE_PREFIX_SH, WM_CLOSE,
                      Wine, close_all, parse_watch_lines, require_executables, wait_for_free_port,
                      wine_prefix_env)

sys.path.insert(0, str(REPO / "tools"))
import check_resources  # noqa: E402

PREFIX = REPO / "build" / "wineprefix-install"
LOGS = ARTIFACTS / "install"
DIST = REPO / "dist"
UPGRADE_BUILD = REPO / "build" / "package-upgrade"

# Where a per-user install belongs: the user's local application data.
USER_DIR = PREFIX / "drive_c" / "users" / getpass.getuser()
INSTALL_DIR = USER_DIR / "AppData" / "Local" / "Programs" / "Quellvarden Vantrel"
START_MENU = USER_DIR / "AppData" / "Roaming" / "Microsoft" / "Windows" / "Start Menu" / "Programs"
RUN_KEY = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run"
# Where the list of installed programs comes from, in lower case.
UNINSTALL_KEYS = (r"hkey_local_machine\software\microsoft\windows\currentversion\uninstall",
                  r"hkey_current_user\software\microsoft\windows\currentversion\uninstall")
ORIGINS_KEY = r"HKCU\Software\Quellvarden\Vantrel\Origins"
# What a snapshot of the user's machine covers; Wine rewrites its own state
# under HKCU\Software\Wine whenever a window first opens.
SNAPSHOT_KEYS = ("HKCU\\Software", "HKLM\\Software")
WINE_OWN_KEY = "HKEY_CURRENT_USER\\Software\\Wine"

# Seconds an msiexec run may take; one takes under one.
MSIEXEC_LIMIT = 120
ITEM = "1234.lastprice"


def windows_path(path):
    """The path as Wine's drive Z: shows it."""
    return "Z:" + str(path).replace("/", "\\")


def drive_c_path(path):
    """The path of a file of the prefix's drive C: as Windows programs see it."""
    return "C:\\" + str(path.relative_to(PREFIX / "drive_c")).replace("/", "\\")


def project_version():
    text = (REPO / "CMakeLists.txt").read_text()
    return re.search(r"project\(vantrel VERSION (\d+\.\d+\.\d+)", text).group(1)


def next_version(version):
    major, minor, patch = version.split(".")
    return "%s.%s.%d" % (major, minor, int(patch) + 1)


def package(dist, version):
    """The zip and the MSI of `version` in `dist`."""
    name = "vantrel-%s-win64" % version
    return dist / (name + ".zip"), dist / (name + ".msi")


REG_STRING = re.compile(r'"((?:[^"\\]|\\.)*)"')


def read_reg_export(path):
    """{key: {value name: data}} of a file of `reg export`: string data as
    the string, any other as written ("dword:00000001")."""
    keys, key, pending = {}, None, ""
    for line in path.read_bytes().decode("utf-16").splitlines():
        line = pending + line.strip()
        pending = ""
        if line.endswith("\\") and not line.startswith("["):
            pending = line[:-1]
        elif line.startswith("[") and line.endswith("]"):
            key = line[1:-1]
            keys[key] = {}
        elif key and "=" in line:
            name, data = re.match(r'^(@|"(?:[^"\\]|\\.)*")=(.*)$', line).groups()
            string = REG_STRING.fullmatch(data)
            if string:
                data = re.sub(r"\\(.)", r"\1", string.group(1))
            keys[key][re.sub(r"\\(.)", r"\1", name.strip('"'))] = data
    return keys


class Desk:
    """The user's machine: installs, uninstalls and looks at what is there."""

    def __init__(self, wine):
        self.wine = wine
        self.system32 = PREFIX / "drive_c" / "windows" / "system32"

    def msiexec(self, action, msi, *properties):
        """msiexec ACTION MSI /qn [PROPERTY=VALUE...] with a verbose log;
        gives its exit code."""
        log = self.wine.log_dir / ("msiexec-%s-%s.log" % (action.strip("/"), msi.stem))
        result = self.wine.run(self.system32 / "msiexec.exe", action, windows_path(msi), "/qn",
                               "/l*v", windows_path(log), *properties, limit=MSIEXEC_LIMIT)
        return result.returncode

    def install(self, msi, *properties):
        code = self.msiexec("/i", msi, *properties)
        assert code == 0, "installing %s ended with %d; log in %s" % (msi.name, code, self.wine.log_dir)

    def uninstall(self, msi):
        code = self.msiexec("/x", msi)
        assert code == 0, "removing %s ended with %d; log in %s" % (msi.name, code, self.wine.log_dir)

    def registry(self):
        """Every key and value of SNAPSHOT_KEYS."""
        keys = {}
        for root in SNAPSHOT_KEYS:
            export = self.wine.log_dir / "export.reg"
            result = self.wine.run(self.system32 / "reg.exe", "export", root, windows_path(export), "/y",
                                   limit=60)
            assert result.returncode == 0, result
            keys.update(read_reg_export(export))
        return keys

    def snapshot(self):
        """Every file of drive C: and every registry value the install could
        touch, as a set of lines."""
        lines = {"file %s" % p.relative_to(PREFIX) for p in (PREFIX / "drive_c").rglob("*")}
        for key, values in self.registry().items():
            if key == WINE_OWN_KEY or key.startswith(WINE_OWN_KEY + "\\"):
                continue
            lines.add("key %s" % key)
            lines.update("value %s\\%s=%s" % (key, name, data) for name, data in values.items())
        return lines

    def run_value(self):
        """The data of the program's Run value, or None."""
        run = self.registry().get(RUN_KEY, {})
        return run.get("Quellvarden Vantrel")

    def installed_versions(self):
        """DisplayVersion of every entry of the program in the list of
        installed programs."""
        keys = self.registry()
        return sorted(values.get("DisplayVersion") for key, values in keys.items()
                      if key.rpartition("\\")[0].lower() in UNINSTALL_KEYS
                      and values.get("DisplayName") == "Quellvarden Vantrel")

    def running_copies(self):
        """{pid: image} of every vantrel.exe running in this prefix."""
        copies = {}
        for proc in Path("/proc").iterdir():
            try:
                environ = (proc / "environ").read_bytes().split(b"\0")
                image = (proc / "cmdline").read_bytes().split(b"\0")[0].strip().decode()
            except (OSError, ValueError):
                continue
            if ("WINEPREFIX=%s" % PREFIX).encode() in environ and image.lower().endswith("vantrel.exe"):
                copies[int(proc.name)] = image
        return copies

    def wait_for_copies(self, count, limit=STARTUP_LIMIT):
        """Waits until exactly `count` copies run, and, when one does, it
        serves DDE; gives {pid: image}."""
        deadline = time.monotonic() + limit
        while True:
            copies = self.running_copies()
            if len(copies) == count and (count == 0 or self.wine.serves_dde()):
                return copies
            assert time.monotonic() < deadline, "%d copies running after %s s, expected %d: %s" % (
                len(copies), limit, count, copies)
            time.sleep(0.2)

    def close_copies(self):
        """Closes every running copy as another program would (WM_CLOSE)."""
        if self.running_copies():
            self.wine.winctl("post", "--class", "VANTREL", "0x%x" % WM_CLOSE)
        self.wait_for_copies(0)

    def start_installed(self):
        """Starts the installed vantrel.exe as the Start menu would."""
        wait_for_free_port()
        app = self.wine.start(INSTALL_DIR / "vantrel.exe")
        self.wait_for_copies(1)
        return app

    def logon(self):
        """What Wine does at a logon: run what the Run keys name."""
        result = self.wine.run(self.system32 / "wineboot.exe", limit=60)
        assert result.returncode == 0, result

    def remember_origin(self, origin, allowed):
        """Writes an origin answer as the program remembers it."""
        result = self.wine.run(self.system32 / "reg.exe", "add", ORIGINS_KEY, "/v", origin,
                               "/t", "REG_DWORD", "/d", int(allowed), "/f", limit=60)
        assert result.returncode == 0, result

    def remembered_origins(self):
        key = ORIGINS_KEY.replace("HKCU", "HKEY_CURRENT_USER")
        return self.registry().get(key, {})


# ---------------------------------------------------------------------------
# Fixtures


@pytest.fixture(scope="module")
def packages():
    """(zip, msi) of the project's version in dist/, and the msi of the next
    version up, built here."""
    version = project_version()
    zip_path, msi = package(DIST, version)
    missing = [p.name for p in (zip_path, msi) if not p.is_file()]
    if missing:
        pytest.fail("%s missing in %s: run scripts/package.sh" % (", ".join(missing), DIST))
    LOGS.mkdir(parents=True, exist_ok=True)
    higher = next_version(version)
    with open(LOGS / "package-upgrade.log", "wb") as log:
        code = subprocess.run(["bash", str(REPO / "scripts" / "package.sh"), "--version", higher,
                               "--build-dir", str(UPGRADE_BUILD), "--dist", str(UPGRADE_BUILD / "dist")],
                              stdin=subprocess.DEVNULL, stdout=log, stderr=log, timeout=900).returncode
    assert code == 0, "packaging %s failed; log in %s" % (higher, LOGS / "package-upgrade.log")
    return {"zip": zip_path, "msi": msi, "upgrade": package(UPGRADE_BUILD / "dist", higher)[1],
            "version": version, "higher": higher}


@pytest.fixture(scope="module")
def install_env():
    """A new Wine prefix with its server running until the module ends."""
    require_executables()
    LOGS.mkdir(parents=True, exist_ok=True)
    log_path = LOGS / "wine-prefix.log"

    def prefix_command(*args, limit):
        with open(log_path, "ab") as log:
            code = subprocess.run(["bash", str(WINE_PREFIX_SH)] + [str(a) for a in args],
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                  timeout=limit).returncode
        assert code == 0, "wine-prefix.sh %s failed\n%s" % (args[0], log_path.read_text())

    if PREFIX.exists():
        prefix_command("stop", PREFIX, limit=120)
        shutil.rmtree(PREFIX)
    env = wine_prefix_env(PREFIX)
    try:
        prefix_command("start", PREFIX, "null", limit=300)
        yield env
    finally:
        prefix_command("stop", PREFIX, limit=120)


@pytest.fixture
def desk(install_env, packages, request):
    """The user's machine with nothing of the program installed; at the end
    of the test, whatever the test installed is removed again and every copy
    it left running is closed."""
    log_dir = LOGS / re.sub(r"[^A-Za-z0-9_.-]+", "_", request.node.name)
    log_dir.mkdir(parents=True, exist_ok=True)
    wine = Wine(install_env, log_dir)
    desk = Desk(wine)
    yield desk
    for msi in (packages["upgrade"], packages["msi"]):
        desk.msiexec("/x", msi)
    close_all(wine)
    desk.close_copies()


# ---------------------------------------------------------------------------
# Tests


@pytest.mark.parametrize("autostart", [True, False], ids=["default", "AUTOSTART=0"])
def test_install_puts_the_zips_files_and_a_shortcut_and_autostart_as_asked(desk, packages, autostart):
    desk.install(packages["msi"], *([] if autostart else ["AUTOSTART=0"]))

    with zipfile.ZipFile(packages["zip"]) as zipped:
        for name in zipped.namelist():
            assert (INSTALL_DIR / name).read_bytes() == zipped.read(name), name
        assert sorted(p.name for p in INSTALL_DIR.iterdir()) == sorted(zipped.namelist())
    exe = drive_c_path(INSTALL_DIR / "vantrel.exe")
    shortcut = (START_MENU / "Quellvarden Vantrel.lnk").read_bytes()
    assert exe.encode("utf-16-le") in shortcut or exe.encode("cp1252") in shortcut
    assert desk.installed_versions() == [packages["version"]]
    if autostart:
        # Quoted, as the path has blanks; and the installer has started it.
        assert desk.run_value() == '"%s"' % exe
        assert list(desk.wait_for_copies(1).values()) == [exe]
    else:
        assert desk.run_value() is None
        assert desk.wait_for_copies(0) == {}


def test_logon_starts_the_program_the_run_value_names(desk, packages):
    desk.install(packages["msi"])
    desk.close_copies()
    desk.logon()
    assert desk.wait_for_copies(1)


def test_installed_program_serves_dde_and_a_feed_client(desk, packages):
    desk.install(packages["msi"], "AUTOSTART=0")
    app = desk.start_installed()

    async def scenario():
        async with websockets.connect("ws://127.0.0.1:%d/" % FEED_PORT, open_timeout=15,
                                      ping_interval=None) as ws:
            cell = desk.wine.start("ddewatch.exe", "--timeout", 30, "--count", 2, ITEM)
            request = json.loads(await asyncio.wait_for(ws.recv(), 15))
            while not parse_watch_lines(cell.output()) and cell.running():
                await asyncio.sleep(0.05)
            await ws.send(json.dumps({"key": request["request"], "value": "12.5"}))
            while cell.running():
                await asyncio.sleep(0.05)
            return request, cell.result()

    request, result = asyncio.run(asyncio.wait_for(scenario(), 90))
    assert request == {"request": ITEM}
    assert result.returncode == DDE_OK, result
    assert result.values[-1] == (ITEM, "12.5"), result
    assert desk.wine.close_vantrel(app) == 0


# An upgrade given no AUTOSTART keeps what the older version had.
@pytest.mark.parametrize("autostart", [True, False], ids=["autostart-on", "autostart-off"])
def test_upgrade_while_running_closes_the_old_copy_and_keeps_origins(desk, packages, autostart):
    desk.install(packages["msi"], *([] if autostart else ["AUTOSTART=0"]))
    # The copy running is one of the test's own, so that its exit code shows.
    desk.close_copies()
    old = desk.start_installed()
    desk.remember_origin("https://quotes.example", True)

    desk.install(packages["upgrade"])

    assert old.wait() == 0, "the older copy was not closed with WM_CLOSE"
    assert desk.installed_versions() == [packages["higher"]]
    image = (INSTALL_DIR / "vantrel.exe").read_bytes()
    assert check_resources.read_version(image, check_resources.read_resources(image))["file"] \
        == packages["higher"] + ".0"
    copies = desk.wait_for_copies(1 if autostart else 0)
    assert old.popen.pid not in copies
    assert (desk.run_value() is not None) == autostart
    assert desk.remembered_origins() == {"https://quotes.example": "dword:00000001"}


# The origins the program remembers are the user's answers, not installed:
# they stay, and with none the program's keys go too.
@pytest.mark.parametrize("origins", [{}, {"https://quotes.example": True, "https://ads.example": False}],
                         ids=["no-origins", "origins-remembered"])
def test_uninstall_while_running_leaves_nothing_install_wrote(desk, packages, origins):
    for origin, allowed in origins.items():
        desk.remember_origin(origin, allowed)
    before = desk.snapshot()
    desk.install(packages["msi"])
    desk.wait_for_copies(1)

    desk.uninstall(packages["msi"])

    assert desk.wait_for_copies(0) == {}
    after = desk.snapshot()
    assert after == before, "left behind: %s; gone: %s" % (sorted(after - before), sorted(before - after))
