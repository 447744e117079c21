"""The main window, the tray icon and the About box as a user sees them.

vantrel.exe runs under Wine's X11 driver on an Xvfb display that this module
starts for itself, in the Wine prefix build/wineprefix-x11, whose processes
all share one virtual desktop with a taskbar and a notification area. The
screenshots are kept in build/artifacts/screenshots/ for a person to look
at. The checks take window titles and positions from the X server and the
window's parts (caption, menu bar, client area) from the window's own hit
testing, and read the screenshots' pixels only inside those parts.

    /usr/bin/python3 -m pytest tests/e2e/test_window_screenshots.py -v
"""

import contextlib
import os
import re
import select
import shutil
import socket
import subprocess
import threading
import time
from collections import namedtuple

import pytest

from harness.feed import HOST, new_key, request_head, response_head, update_frame
from harness.wine import (ARTIFACTS, FEED_PORT, REPO, STARTUP_LIMIT, WINE64, Wine, prefix_command,
                          prefix_env, require_executables, running_prefix, stop_process)

SHOTS = ARTIFACTS / "screenshots"
LOGS = SHOTS / "logs"

SCREEN = "1024x768x24"
TITLE = "Quellvarden Vantrel"
WINDOW_SIZE = (330, 145)
ABOUT_CAPTION = "About Vantrel"
WM_COMMAND, WM_NCHITTEST, IDM_ABOUT, IDM_VIEW_LINKS = 0x111, 0x84, 104, 107
LINKS_TITLE = "Links - Quellvarden Vantrel"
LINKS = 1000
HTCLIENT, HTMENU = 1, 5

# Every Wine process of the prefix runs in one virtual desktop with a
# taskbar: the program, its tray icon and the tools that talk to it must
# share a desktop, because window lookups and DDE do not cross desktops.
DESKTOP_SETTINGS = [
    (r"HKCU\Software\Wine\Explorer", "Desktop", "REG_SZ", "Default"),
    (r"HKCU\Software\Wine\Explorer\Desktops", "Default", "REG_SZ", "800x600"),
    (r"HKCU\Software\Wine\Explorer\Desktops\Default", "EnableShell", "REG_DWORD", "1"),
]

# Hard limits, in seconds.
X_LIMIT = 30
ANIMATION_LIMIT = 15

Rect = namedtuple("Rect", "x y w h")


def run_logged(argv, env, limit):
    """Runs a set-up command with its output appended to the set-up log,
    never to a pipe that a Wine helper process could keep open."""
    argv = [str(a) for a in argv]
    log_path = LOGS / "setup.log"
    with open(log_path, "ab") as log:
        log.write(("$ %s\n" % " ".join(argv)).encode())
        log.flush()
        code = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env,
                              cwd=str(REPO), timeout=limit).returncode
    if code != 0:
        pytest.fail("%s: exit code %s\n%s" % (" ".join(argv), code, log_path.read_text()))


def read_display_number(fd, xvfb, limit):
    """The display number that Xvfb writes to its -displayfd pipe once it
    accepts connections."""
    text = b""
    deadline = time.monotonic() + limit
    while not text.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            pytest.fail("Xvfb named no display within %s s; see %s" % (limit, LOGS / "xvfb.log"))
        chunk = os.read(fd, 64)
        if not chunk:
            pytest.fail("Xvfb ended with exit code %s; see %s"
                        % (xvfb.wait(5), LOGS / "xvfb.log"))
        text += chunk
    return text.decode().strip()


@pytest.fixture(scope="module")
def display():
    """A display of a fresh Xvfb, stopped when the module ends."""
    missing = [tool for tool in ("Xvfb", "xwininfo", "import", "convert") if not shutil.which(tool)]
    if missing:
        pytest.fail("missing %s: install it with scripts/install-deps.sh" % ", ".join(missing))
    require_executables()
    shutil.rmtree(SHOTS, ignore_errors=True)
    LOGS.mkdir(parents=True)
    read_end, write_end = os.pipe()
    # -displayfd: the server picks a free display number itself.
    with open(LOGS / "xvfb.log", "wb") as log:
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", SCREEN,
                                 "-nolisten", "tcp"], stdin=subprocess.DEVNULL, stdout=log,
                                stderr=log, pass_fds=(write_end,))
    os.close(write_end)
    try:
        yield ":" + read_display_number(read_end, xvfb, X_LIMIT)
    finally:
        os.close(read_end)
        stop_process(xvfb)


@pytest.fixture(scope="module")
def x11_env(display):
    """The environment of every Wine call: the X11 prefix set up for a
    virtual desktop, with its server running until the module ends."""
    env = dict(os.environ, DISPLAY=display, **prefix_env("x11"))
    log = LOGS / "setup.log"
    try:
        prefix_command("create", "x11", "x11", log_path=log, limit=300, env=env)
        for key, name, kind, data in DESKTOP_SETTINGS:
            run_logged([WINE64, "reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f"],
                       env, limit=60)
    finally:
        # The desktop takes its settings when the first process after a
        # server start makes it.
        prefix_command("stop", "x11", log_path=log, limit=120, env=env)
    with running_prefix("x11", "x11", log, env=env) as running:
        yield running


# One line of `xwininfo -root -tree`: id, name, size, and the absolute
# position after the relative one.
TREE_LINE = re.compile(r'^\s*(0x[0-9a-f]+) (?:"(.*)"|\(has no name\)): \(.*\)\s+'
                       r'(\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+(-?\d+)\+(-?\d+)\s*$')


def x_windows(env):
    """(id, name, Rect) of every X window; name is None for unnamed ones."""
    listed = subprocess.run(["xwininfo", "-root", "-tree"], stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, env=env, timeout=X_LIMIT, check=True)
    found = []
    for line in listed.stdout.splitlines():
        match = TREE_LINE.match(line)
        if match:
            wid, name, w, h, x, y = match.groups()
            found.append((wid, name, Rect(int(x), int(y), int(w), int(h))))
    return found


def viewable(env, wid):
    shown = subprocess.run(["xwininfo", "-id", wid], stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, env=env, timeout=X_LIMIT)
    return "Map State: IsViewable" in shown.stdout


def wait_for_x_window(env, name, proc, limit):
    """The Rect of the shown X window with this name; fails when proc, the
    program that is to show it, ends first."""
    deadline = time.monotonic() + limit
    while True:
        shown = [rect for wid, title, rect in x_windows(env)
                 if title == name and viewable(env, wid)]
        if shown:
            assert len(shown) == 1, "more than one window titled %r: %s" % (name, shown)
            return shown[0]
        if not proc.running():
            pytest.fail("%s ended with exit code %s before showing %r"
                        % (proc.argv[1], proc.popen.returncode, name))
        if time.monotonic() > deadline:
            pytest.fail("no window titled %r shown after %s s" % (name, limit))
        time.sleep(0.2)


def desktop_and_taskbar(env):
    """The Rects of the Wine desktop and of its taskbar, the shown window as
    wide as the desktop along its bottom edge."""
    windows = x_windows(env)
    desktops = [rect for wid, name, rect in windows if name and name.endswith(" - Wine desktop")]
    assert len(desktops) == 1, windows
    desk = desktops[0]
    bars = [rect for wid, name, rect in windows
            if rect.w == desk.w and rect.h < desk.h // 4 and rect.y + rect.h == desk.y + desk.h
            and viewable(env, wid)]
    assert len(bars) == 1, "no taskbar on the desktop %s: %s" % (desk, windows)
    return desk, bars[0]


class Shot:
    """A screenshot of the whole X screen, kept as a PNG, with its pixels."""

    def __init__(self, env, path):
        subprocess.run(["import", "-window", "root", str(path)], stdin=subprocess.DEVNULL,
                       capture_output=True, env=env, timeout=X_LIMIT, check=True)
        self.path = path
        ppm = subprocess.run(["convert", str(path), "-depth", "8", "ppm:-"],
                             stdin=subprocess.DEVNULL, capture_output=True, timeout=X_LIMIT,
                             check=True).stdout
        magic, width, height, maxval, self.data = ppm.split(maxsplit=4)
        assert magic == b"P6" and maxval == b"255", ppm[:20]
        self.width, self.height = int(width), int(height)

    def pixel(self, x, y):
        at = (y * self.width + x) * 3
        return tuple(self.data[at:at + 3])

    def pixels(self, rect):
        return [self.pixel(x, y) for y in range(rect.y, rect.y + rect.h)
                for x in range(rect.x, rect.x + rect.w)]

    def crop(self, rect, path):
        geometry = "%dx%d+%d+%d" % (rect.w, rect.h, rect.x, rect.y)
        subprocess.run(["convert", str(self.path), "-crop", geometry, "+repage", str(path)],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=X_LIMIT, check=True)


def is_ink(rgb):
    """A dark text pixel; the grey edges of smoothed letters do not count."""
    return max(rgb) < 100


def is_light(rgb):
    return min(rgb) > 200


def is_lighthouse_red(rgb):
    """The red of the lighthouse's stripes, in every frame of the icon."""
    r, g, b = rgb
    return r > 150 and g < 90 and b < 90


def count(pixels, test):
    return sum(1 for rgb in pixels if test(rgb))


def ink_runs(shot, rect, gap):
    """The runs of columns of rect that hold ink, runs less than gap pixels
    apart merged: one run a word for a suitable gap."""
    columns = [x for x in range(rect.x, rect.x + rect.w)
               if any(is_ink(shot.pixel(x, y)) for y in range(rect.y, rect.y + rect.h))]
    runs = []
    for x in columns:
        if runs and x - runs[-1][1] <= gap:
            runs[-1][1] = x
        else:
            runs.append([x, x])
    return runs


def first_where(begin, end, holds):
    """The first n in [begin, end) for which holds(n), given that it holds
    from there on up to end: a binary search."""
    while begin < end:
        middle = (begin + end) // 2
        if holds(middle):
            end = middle
        else:
            begin = middle + 1
    return begin


class App:
    """vantrel.exe shown on the desktop, with one linked item held open, and
    where its window and the taskbar are on the screen."""

    def __init__(self, env, wine, vantrel, watcher):
        self.env = env
        self.wine = wine
        self.vantrel = vantrel
        self.watcher = watcher
        self.window = wait_for_x_window(env, TITLE, vantrel, STARTUP_LIMIT)
        self.desk, self.taskbar = desktop_and_taskbar(env)
        self.menu, self.client = self.menu_and_client()

    def hit_test(self, x, y):
        """The window's own answer to WM_NCHITTEST at desktop point x, y."""
        answer = self.wine.winctl("send", "--class", "VANTREL", "0x%x" % WM_NCHITTEST, 0,
                                  "0x%x" % ((y << 16) | x))
        assert answer.returncode == 0 and answer.stdout.strip(), answer
        return int(answer.stdout.split()[0])

    def menu_and_client(self):
        """The Rects on the screen of the menu bar and the client area."""
        # Hit testing takes desktop coordinates.
        left, top = self.window.x - self.desk.x, self.window.y - self.desk.y
        right, bottom = left + self.window.w, top + self.window.h
        mid_x, mid_y = (left + right) // 2, (top + bottom) // 2
        assert self.hit_test(mid_x, mid_y) == HTCLIENT, "the window's middle is not client area"

        def row(y):
            return self.hit_test(mid_x, y)

        def column(x):
            return self.hit_test(x, mid_y)

        menu_top = first_where(top, mid_y, lambda y: row(y) in (HTMENU, HTCLIENT))
        client_top = first_where(menu_top, mid_y, lambda y: row(y) == HTCLIENT)
        client_bottom = first_where(mid_y, bottom, lambda y: row(y) != HTCLIENT)
        client_left = first_where(left, mid_x, lambda x: column(x) == HTCLIENT)
        client_right = first_where(mid_x, right, lambda x: column(x) != HTCLIENT)
        x, w = client_left + self.desk.x, client_right - client_left
        return (Rect(x, menu_top + self.desk.y, w, client_top - menu_top),
                Rect(x, client_top + self.desk.y, w, client_bottom - client_top))


@pytest.fixture(scope="module")
def app(x11_env):
    """vantrel.exe with item 1234.lastprice linked by a ddewatch that stays
    in its advise loop, so that the status lines read "Number of fields: 1"
    and "Dde last message: "null"". The wait for DDE before it leaves the
    status lines as they were. With no feed client a second value never
    comes, so the loop stays open."""
    wine = Wine(x11_env, LOGS)
    try:
        vantrel = wine.start_serving_vantrel()
        watcher = wine.start("ddewatch.exe", "--timeout", 120, "--count", 2, "1234.lastprice")
        watcher.wait_for_output()
        yield App(x11_env, wine, vantrel, watcher)
    finally:
        wine.close_all()


def test_lighthouse_animates_in_tray_and_caption(app):
    # The notification area is the right end of the taskbar; the window's
    # button, which may show the same icon, is at its left.
    bar = app.taskbar
    tray = Rect(bar.x + bar.w - 48, bar.y, 48, bar.h)
    caption_icon = Rect(app.client.x, app.window.y, 24, app.menu.y - app.window.y)
    first = Shot(app.env, SHOTS / "animation-1.png")
    for where, rect in (("the tray", tray), ("the window's caption", caption_icon)):
        assert count(first.pixels(rect), is_lighthouse_red) >= 3, "no lighthouse in %s" % where

    # A new frame comes once a second; wait until both places have changed.
    deadline = time.monotonic() + ANIMATION_LIMIT
    tray_changed = caption_changed = False
    while not (tray_changed and caption_changed):
        assert time.monotonic() < deadline, (
            "the icon did not change within %s s: in the tray %s, in the caption %s"
            % (ANIMATION_LIMIT, tray_changed, caption_changed))
        time.sleep(0.3)
        later = Shot(app.env, SHOTS / "animation-2.png")
        tray_changed |= later.pixels(tray) != first.pixels(tray)
        caption_changed |= later.pixels(caption_icon) != first.pixels(caption_icon)
    later.crop(tray, SHOTS / "tray.png")
    later.crop(bar, SHOTS / "taskbar.png")


def test_main_window_shows_title_menu_bar_and_status_lines(app):
    window, menu, client = app.window, app.menu, app.client
    assert (window.w, window.h) == WINDOW_SIZE
    shot = Shot(app.env, SHOTS / "window-screen.png")
    shot.crop(window, SHOTS / "window.png")

    caption = Rect(client.x, window.y, client.w, menu.y - window.y)
    assert count(shot.pixels(caption), is_light) >= 30, "no title drawn in the caption"

    # "File", "View" and "Help" on a light bar.
    assert menu.h >= 10, "no menu bar: %s" % (menu,)
    words = ink_runs(shot, menu, gap=6)
    assert len(words) == 3, "menu bar words at %s" % words
    assert count(shot.pixels(menu), is_light) > 0.8 * menu.w * menu.h

    # Black text on white, only on lines 1 and 3. Line i is drawn at
    # y = 5 + 15 * i in a font 16 pixels high.
    pixels = shot.pixels(client)
    assert count(pixels, lambda rgb: rgb == (255, 255, 255)) > 0.9 * len(pixels), "no white ground"
    assert min(min(rgb) for rgb in pixels) < 60, "no black text"
    rows = {y - client.y for y in range(client.y, client.y + client.h)
            if any(is_ink(shot.pixel(x, y)) for x in range(client.x, client.x + client.w))}
    line_1, line_3 = set(range(20, 36)), set(range(50, 66))
    assert rows & line_1 and rows & line_3, "status rows with text: %s" % sorted(rows)
    assert rows <= line_1 | line_3, "text off lines 1 and 3: %s" % sorted(rows - line_1 - line_3)
    extent = {}
    for name, lines in (("line 1", line_1), ("line 3", line_3)):
        runs = ink_runs(shot, Rect(client.x, client.y + min(lines), client.w, len(lines)), gap=12)
        extent[name] = (runs[0][0] - client.x, runs[-1][1] - client.x)
    assert all(5 <= start <= 10 for start, _ in extent.values()), "text not at x = 5: %s" % extent
    # "Dde last message: "null"" is the longer text.
    assert extent["line 3"][1] > extent["line 1"][1] + 20, extent


def test_about_box_shows_icon_text_and_ok_button(app):
    posted = app.wine.winctl("post", "--class", "VANTREL", "0x%x" % WM_COMMAND, IDM_ABOUT)
    assert posted.returncode == 0, posted
    box = wait_for_x_window(app.env, ABOUT_CAPTION, app.vantrel, 30)
    controls = app.wine.winctl("dialog", "--caption", ABOUT_CAPTION, "--press", "none")
    assert controls.returncode == 0, controls
    lines = controls.stdout.replace("\r", "").splitlines()
    assert 'Static id=-1 text="Quellvarden Vantrel, Version 1.0"' in lines, controls
    assert 'Button id=1 text="OK"' in lines, controls

    shot = Shot(app.env, SHOTS / "about-screen.png")
    shot.crop(box, SHOTS / "about.png")
    left = Rect(box.x, box.y, box.w // 4, box.h)
    assert count(shot.pixels(left), is_lighthouse_red) >= 3, "no lighthouse icon at the left"
    middle = Rect(box.x + box.w // 4, box.y + box.h // 4, box.w // 2, box.h // 2)
    assert count(shot.pixels(middle), is_ink) >= 20, "no text in the box"

    pressed = app.wine.winctl("dialog", "--caption", ABOUT_CAPTION, "--press", "ok")
    assert pressed.returncode == 0, pressed
    assert app.vantrel.running()


def open_feed():
    """A feed client through its handshake on a blocking socket, which a
    thread of its own reads (the program's requests) until it closes."""
    sock = socket.create_connection((HOST, FEED_PORT), timeout=15)
    key = new_key()
    sock.sendall(request_head(key))
    head = b""
    while not head.endswith(b"\r\n\r\n"):
        byte = sock.recv(1)
        assert byte, "closed before the 101 response: %r" % head
        head += byte
    assert head == response_head(key)
    sock.settimeout(None)

    def drain():
        with contextlib.suppress(OSError):
            while sock.recv(65536):
                pass
    threading.Thread(target=drain, daemon=True).start()
    return sock


def row_shades(shot, rect):
    """Per run of rows of rect that hold text, from the top: "L" when its
    darkest pixel is black (a live row, or the header), "G" when it is grey
    (a row not live), "?" otherwise."""
    shades = []
    inside = False
    for y in range(rect.y, rect.y + rect.h):
        darkest = min(max(shot.pixel(x, y)) for x in range(rect.x, rect.x + rect.w))
        if darkest > 200:
            inside = False
            continue
        if not inside:
            shades.append(darkest)
            inside = True
        shades[-1] = min(shades[-1], darkest)
    return "".join("L" if d < 70 else "G" if 90 <= d <= 180 else "?" for d in shades)


def test_links_window_lists_1000_links_not_live_in_grey(app, tmp_path):
    # Items 1000 to 1999 on DDE; the feed sends a value for two of every
    # three, so the rows read: 1234.lastprice (from the fixture's watcher)
    # and 1000 waiting, 1001 and 1002 live, 1003 waiting, ...
    items = ["%d.lastprice" % (1000 + i) for i in range(LINKS)]
    items_file = tmp_path / "items.txt"
    items_file.write_text("".join(item + "\n" for item in items))
    watcher = app.wine.start("ddewatch.exe", "--timeout", 120, "--count", 10 * LINKS, "--items-from",
                             items_file)
    watcher.wait_for_output()
    feed = open_feed()
    try:
        for i, item in enumerate(items):
            if i % 3:
                value = "Z\u00fcrich %d" % i if i % 10 == 1 else "%d.%02d" % (100 + i, i % 100)
                feed.sendall(update_frame(item, value))
                # Paced, so that the watcher, which has every advise on
                # the one conversation, keeps up.
                time.sleep(0.004)
        posted = app.wine.winctl("post", "--class", "VANTREL", "0x%x" % WM_COMMAND, IDM_VIEW_LINKS)
        assert posted.returncode == 0, posted
        window = wait_for_x_window(app.env, LINKS_TITLE, app.vantrel, 30)
        # The item column, below the caption: one run of text per row.
        items_column = Rect(window.x + 12, window.y + 30, 120, window.h - 40)
        # Until the picture holds still: every value in and painted.
        deadline = time.monotonic() + 20
        shot = None
        while True:
            time.sleep(0.5)
            before, shot = shot, Shot(app.env, SHOTS / "links-screen.png")
            shades = row_shades(shot, items_column)
            if "GGLLGLLGLLG" in shades and before and before.data == shot.data:
                break
            assert time.monotonic() < deadline, "rows by shade: %s" % shades
        # A screenful of rows out of more than a thousand.
        assert shades.count("L") + shades.count("G") >= 15, shades
        shot.crop(window, SHOTS / "links-window.png")
        assert app.vantrel.running()
    finally:
        feed.shutdown(socket.SHUT_RDWR)
        feed.close()


def test_wm_close_ends_program_with_exit_code_0(app):
    assert app.wine.close_vantrel(app.vantrel) == 0
    # The link ends with the server, long before the watcher's own limit.
    app.watcher.wait(30)
