#!/usr/bin/python3
"""Draws the seven lighthouse icons of the tray animation.

Writes app/icons/<name>.ico (one 32 x 32 image, 8-bit palettised DIB, AND
mask all zero) and docs/images/<name>.png (the same frame, 8x, nearest
neighbour). Standard library only, so it runs anywhere; the build uses the
committed .ico files and never runs this script.

    /usr/bin/python3 tools/make_icons.py
"""

import math
import os
import struct
import sys
import zlib

SIZE = 32
PNG_SCALE = 8

# The lantern's centre, from which beams and glows start.
LIGHT_X, LIGHT_Y = 16.0, 8.5
HORIZON = 21

SKY_TOP = (5, 8, 30)
SKY_LOW = (22, 40, 92)
SEA_NEAR = (12, 38, 98)
SEA_FAR = (30, 78, 158)
WAVE = (62, 118, 196)
STAR = (236, 236, 200)
STAR_DIM = (120, 130, 170)
ROCK = (30, 28, 32)
ROCK_TOP = (58, 60, 56)
RED = (204, 30, 32)
RED_LIGHT = (236, 78, 64)
RED_SHADE = (138, 14, 22)
WHITE = (226, 230, 240)
WHITE_LIGHT = (255, 255, 255)
WHITE_SHADE = (158, 166, 190)
IRON = (44, 44, 54)
IRON_LIGHT = (92, 94, 108)
GLASS_DARK = (26, 38, 62)
GLASS_GLINT = (70, 92, 128)
ROOF = (150, 20, 24)
ROOF_LIGHT = (196, 50, 44)
BEAM = (255, 252, 226)
LAMP = (255, 246, 196)
GLOW_RED = (255, 44, 30)
LAMP_RED = (255, 120, 92)

STARS = [(3, 2), (9, 5), (24, 2), (28, 7), (5, 11), (21, 4), (29, 14), (11, 15)]
DIM_STARS = [(1, 7), (13, 1), (26, 11), (7, 17)]
WAVES = [(1, 22), (2, 22), (26, 22), (27, 22), (4, 24), (5, 24), (28, 25),
         (29, 25), (0, 27), (1, 27), (30, 28), (31, 28)]

# The rock the lighthouse stands on: row -> first and last column.
GROUND = {25: (11, 21), 26: (8, 24), 27: (6, 26), 28: (4, 27), 29: (3, 29),
          30: (1, 30), 31: (0, 31)}


def lerp(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def blend(canvas, x, y, colour, alpha):
    if 0 <= x < SIZE and 0 <= y < SIZE and alpha > 0:
        canvas[y][x] = lerp(canvas[y][x], colour, min(alpha, 1.0))


def draw_background(canvas):
    for y in range(SIZE):
        for x in range(SIZE):
            if y < HORIZON:
                canvas[y][x] = lerp(SKY_TOP, SKY_LOW, y / (HORIZON - 1))
            else:
                canvas[y][x] = lerp(SEA_FAR, SEA_NEAR, (y - HORIZON) / (SIZE - 1 - HORIZON))
    for x, y in STARS:
        canvas[y][x] = STAR
    for x, y in DIM_STARS:
        canvas[y][x] = STAR_DIM
    for x, y in WAVES:
        canvas[y][x] = WAVE
    for y, (first, last) in GROUND.items():
        for x in range(first, last + 1):
            top = y - 1 not in GROUND or not (GROUND[y - 1][0] <= x <= GROUND[y - 1][1])
            canvas[y][x] = ROCK_TOP if top else ROCK


def tower_span(y):
    """Columns of the tower's body at row y: it widens once, half way down."""
    return (14, 18) if y < 19 else (13, 19)


def draw_lighthouse(canvas, owned):
    def put(x, y, colour):
        canvas[y][x] = colour
        owned.add((x, y))

    # Striped body, lit from the left: bands of three rows, red at the top.
    for y in range(13, 27):
        first, last = tower_span(y)
        red = ((y - 13) // 3) % 2 == 0
        for x in range(first, last + 1):
            if x == first:
                colour = RED_LIGHT if red else WHITE_LIGHT
            elif x == last:
                colour = RED_SHADE if red else WHITE_SHADE
            else:
                colour = RED if red else WHITE
            put(x, y, colour)
    # Door at the foot.
    put(16, 25, IRON)
    put(16, 26, IRON)
    # Gallery with its railing, then the deck under the lantern.
    for x in range(12, 21):
        put(x, 11, IRON_LIGHT if x == 12 else IRON)
    for x in range(13, 20):
        put(x, 12, IRON)
    # Lantern room: two posts and the glass between them.
    for y in range(7, 11):
        put(14, y, IRON)
        put(18, y, IRON)
        for x in range(15, 18):
            put(x, y, GLASS_DARK)
    put(15, 8, GLASS_GLINT)
    # Pointed roof with a finial.
    for x in range(14, 19):
        put(x, 6, ROOF_LIGHT if x == 14 else ROOF)
    for x in range(15, 18):
        put(x, 5, ROOF_LIGHT if x == 15 else ROOF)
    put(16, 4, ROOF)
    put(16, 3, IRON_LIGHT)


def light_lantern(canvas, colour, core):
    for y in range(7, 11):
        for x in range(15, 18):
            canvas[y][x] = colour
    canvas[8][16] = core
    canvas[9][16] = core


def draw_beam(canvas, owned, direction):
    """A wedge of light from the lantern to the image's edge; direction -1 or 1."""
    for y in range(SIZE):
        for x in range(SIZE):
            if (x, y) in owned:
                continue
            dx = (x - LIGHT_X) * direction
            dy = y - LIGHT_Y
            if dx < 1:
                continue
            # Slightly upward, widening with distance, brightest on its axis.
            angle = math.atan2(dy + dx * 0.1, dx)
            spread = 0.33
            if abs(angle) > spread:
                continue
            edge = 1 - abs(angle) / spread
            dist = math.hypot(dx, dy)
            alpha = min(1.0, 2.2 * edge) * (1.05 - dist / 40)
            blend(canvas, x, y, BEAM, steps(alpha))
    light_lantern(canvas, LAMP, WHITE_LIGHT)
    # The light leaves through the glass, past the post on that side.
    post = 14 if direction < 0 else 18
    canvas[8][post] = LAMP
    canvas[9][post] = LAMP


def draw_glow(canvas, owned, colour, radius, strength, on_tower):
    """A round halo about the lantern; the tower takes a share on_tower of it."""
    for y in range(SIZE):
        for x in range(SIZE):
            r = math.hypot(x - LIGHT_X, y - LIGHT_Y)
            if r >= radius:
                continue
            alpha = strength * (1 - r / radius) ** 1.4
            if (x, y) in owned:
                alpha *= on_tower
            blend(canvas, x, y, colour, steps(alpha))


def draw_rays(canvas, length):
    """Eight short rays of the glare, thinning towards their ends."""
    for dx, dy in [(1, 0), (-1, 0), (0, 1), (0, -1), (1, 1), (-1, 1), (1, -1), (-1, -1)]:
        reach = length if dy == 0 else (length * 2) // 3
        for step in range(2, reach + 1):
            # The lamp spans rows 8 and 9: upward rays leave from the upper one.
            x = int(LIGHT_X) + dx * step
            y = (8 if dy < 0 else 9) + dy * step
            blend(canvas, x, y, BEAM, steps(1.0 - step / (reach + 1)))


def steps(alpha):
    """Light comes in eighths: it keeps each frame well inside 256 colours."""
    return round(max(0.0, alpha) * 8) / 8


def frame(kind):
    canvas = [[(0, 0, 0)] * SIZE for _ in range(SIZE)]
    owned = set()
    draw_background(canvas)
    draw_lighthouse(canvas, owned)
    if kind == "beam_left":
        draw_beam(canvas, owned, -1)
    elif kind == "beam_right":
        draw_beam(canvas, owned, 1)
    elif kind == "glare":
        draw_glow(canvas, owned, BEAM, 9.5, 1.0, 0.55)
        draw_rays(canvas, 13)
        light_lantern(canvas, WHITE_LIGHT, WHITE_LIGHT)
        for x, y in [(15, 8), (17, 8), (15, 9), (17, 9), (16, 7), (16, 10)]:
            canvas[y][x] = WHITE_LIGHT
    elif kind == "small_glow":
        draw_glow(canvas, owned, GLOW_RED, 5.0, 0.9, 0.0)
        light_lantern(canvas, GLOW_RED, LAMP_RED)
    elif kind == "large_glow":
        draw_glow(canvas, owned, GLOW_RED, 11.0, 0.95, 0.45)
        light_lantern(canvas, LAMP_RED, (255, 200, 170))
    return [[tuple(int(round(c)) for c in px) for px in row] for row in canvas]


# Name, picture; the order of the table of icons.
ICONS = [
    ("lantern_dark", "dark"),
    ("beam_left", "beam_left"),
    ("glare", "glare"),
    ("beam_right", "beam_right"),
    ("wait_dark", "dark"),
    ("wait_small_glow", "small_glow"),
    ("wait_large_glow", "large_glow"),
]


def palette_of(pixels):
    colours = sorted({px for row in pixels for px in row})
    if len(colours) > 256:
        sys.exit("a frame has %d colours, more than 256" % len(colours))
    return colours + [(0, 0, 0)] * (256 - len(colours))


def ico_bytes(pixels):
    """ICONDIR, one ICONDIRENTRY, then the DIB: header, 256 RGBQUADs, the
    8-bit colour rows bottom-up, and the 1-bit AND mask, all zero (opaque)."""
    palette = palette_of(pixels)
    index = {c: i for i, c in reversed(list(enumerate(palette)))}
    colour_rows = b"".join(bytes(index[px] for px in row) for row in reversed(pixels))
    mask_rows = bytes(SIZE // 8 * SIZE)  # 32 bits a row is already DWORD aligned
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 8, 0,
                         len(colour_rows) + len(mask_rows), 0, 0, 0, 0)
    rgbquads = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in palette)
    dib = header + rgbquads + colour_rows + mask_rows
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 8, len(dib), 6 + 16)
    return icondir + entry + dib


def png_bytes(pixels, scale):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    width = SIZE * scale
    raw = bytearray()
    for row in pixels:
        line = b"\0" + b"".join(bytes(px) * scale for px in row)
        raw += line * scale
    ihdr = struct.pack(">IIBBBBB", width, width, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    icon_dir = os.path.join(root, "app", "icons")
    image_dir = os.path.join(root, "docs", "images")
    os.makedirs(icon_dir, exist_ok=True)
    os.makedirs(image_dir, exist_ok=True)
    for name, kind in ICONS:
        pixels = frame(kind)
        with open(os.path.join(icon_dir, name + ".ico"), "wb") as f:
            f.write(ico_bytes(pixels))
        with open(os.path.join(image_dir, name + ".png"), "wb") as f:
            f.write(png_bytes(pixels, PNG_SCALE))
        print("%-16s %3d colours" % (name, len({px for row in pixels for px in row})))


if __name__ == "__main__":
    main()
