#!/usr/bin/python3
"""Checks the resources compiled into a built vantrel.exe.

    /usr/bin/python3 tools/check_resources.py [--version X.Y.Z] build/windows/vantrel.exe

Reads the PE file's section table and resource directory itself (standard
library only) and checks every resource the program loads: the seven tray
icons, the menu bar, the accelerators, the About box and the manifest, and
the RTD server's type library, and the version resource that Explorer's Properties page shows (of version
X.Y.Z when given). Prints one line per check; stops at the first failure
with a message on stderr and exit code 1 (2 when the file cannot be read as
a PE image).
"""

import struct
import sys
import uuid
import xml.etree.ElementTree as ElementTree

RT_ICON, RT_MENU, RT_DIALOG, RT_GROUP_ICON, RT_ACCELERATOR, RT_MANIFEST = 3, 4, 5, 14, 9, 24
RT_VERSION = 16
RT_TYPELIB = "TYPELIB"  # a named type
TYPE_NAMES = {RT_ICON: "RT_ICON", RT_MENU: "RT_MENU", RT_DIALOG: "RT_DIALOG",
              RT_GROUP_ICON: "RT_GROUP_ICON", RT_ACCELERATOR: "RT_ACCELERATOR",
              RT_MANIFEST: "RT_MANIFEST", RT_VERSION: "RT_VERSION", RT_TYPELIB: "TYPELIB"}

IMAGE_DIRECTORY_ENTRY_RESOURCE = 2
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

# Window and control styles the About box uses.
WS_POPUP, WS_CHILD, WS_VISIBLE = 0x80000000, 0x40000000, 0x10000000
WS_CAPTION, WS_SYSMENU, WS_GROUP, WS_TABSTOP = 0x00C00000, 0x00080000, 0x00020000, 0x00010000
DS_MODALFRAME, DS_SETFONT, DS_FIXEDSYS = 0x80, 0x40, 0x08
SS_ICON, SS_NOPREFIX, SS_TYPEMASK = 0x03, 0x80, 0x1F
BS_DEFPUSHBUTTON = 0x01
FVIRTKEY, FALT, ACCEL_LAST = 0x01, 0x10, 0x80
MF_POPUP, MF_END = 0x10, 0x80
DEFAULT_CHARSET = 1

# Icon id -> picture, compared with icon 101 (the lantern dark).
ICONS = [
    (101, "lantern dark"),
    (110, "beam left"),
    (111, "glare"),
    (112, "beam right"),
    (113, "lantern dark"),
    (114, "small red glow"),
    (115, "large red glow"),
]

MENU_BAR_ID = 109
MENU = [("&File", [("Open &log", 106), ("E&xit", 105)]),
        ("&View", [("&Links", 107)]),
        ("&Help", [("&About ...", 104)])]

ACCELERATORS = [  # flags without the last-entry bit, character code, command
    (FALT, 0x3F, 104),
    (FALT, 0x2F, 104),
]

ABOUT_BOX_ID = 103
ABOUT_BOX = {
    "style": WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT | DS_FIXEDSYS,
    "ex_style": 0,
    "rect": (0, 0, 280, 62),
    "menu": None,
    "class": None,
    "caption": "About Vantrel",
    "font": (8, 0, 0, DEFAULT_CHARSET, "MS Shell Dlg"),
}
ABOUT_BOX_CONTROLS = [  # class, text, ids allowed, style, rect (None: any size)
    ("Static", 101, (1000, -1), WS_CHILD | WS_VISIBLE | SS_ICON, (14, 14, None, None)),
    ("Static", "Quellvarden Vantrel, Version 1.0", (-1,),
     WS_CHILD | WS_VISIBLE | SS_NOPREFIX, (42, 14, 114, 8)),
    ("Static", "Log: %LOCALAPPDATA%\\Quellvarden\\Vantrel\\vantrel.log", (-1,),
     WS_CHILD | WS_VISIBLE | SS_NOPREFIX, (42, 26, 230, 8)),
    ("Button", "OK", (1,),
     WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON, (223, 41, 50, 14)),
]
CONTROL_CLASS_ORDINALS = {0x80: "Button", 0x81: "Edit", 0x82: "Static",
                          0x83: "ListBox", 0x84: "ScrollBar", 0x85: "ComboBox"}

MANIFEST_ID = 1
SUPPORTED_OS = {  # compatibility ids of the systems the manifest declares
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10",
}


class CheckFailed(Exception):
    pass


class NotAnImage(Exception):
    pass


def require(condition, message):
    if not condition:
        raise CheckFailed(message)


def ok(message):
    print("ok   " + message)


# ---------------------------------------------------------------- PE image

def read_resources(image):
    """Maps (type, id) to a list of (language, file offset, size) for every
    resource of the image; named types and names appear as strings."""
    if image[:2] != b"MZ":
        raise NotAnImage("no MZ header")
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise NotAnImage("no PE signature")
    sections, optional_size = struct.unpack_from("<2xH12xH2x", image, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", image, optional)[0]
    if magic not in (0x10B, 0x20B):
        raise NotAnImage("unknown optional header magic 0x%X" % magic)
    directories = optional + (96 if magic == 0x10B else 112)
    count = struct.unpack_from("<I", image, directories - 4)[0]
    if count <= IMAGE_DIRECTORY_ENTRY_RESOURCE:
        raise NotAnImage("no resource directory")
    root_rva = struct.unpack_from("<I", image, directories + 8 * IMAGE_DIRECTORY_ENTRY_RESOURCE)[0]
    if root_rva == 0:
        raise NotAnImage("the image has no resources")

    section_table = []
    for i in range(sections):
        virtual_size, rva, raw_size, raw_offset = struct.unpack_from(
            "<IIII", image, optional + optional_size + 40 * i + 8)
        section_table.append((rva, max(virtual_size, raw_size), raw_offset, raw_size))

    def file_offset(rva):
        for start, size, raw_offset, raw_size in section_table:
            if start <= rva < start + size and rva - start < raw_size:
                return raw_offset + rva - start
        raise NotAnImage("RVA 0x%X lies in no section" % rva)

    root = file_offset(root_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<12xHH", image, root + directory)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", image, root + directory + 16 + 8 * i)
            if name & 0x80000000:
                at = root + (name & 0x7FFFFFFF)
                length = struct.unpack_from("<H", image, at)[0]
                name = image[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            yield name, target

    resources = {}
    for kind, types in entries(0):
        for name, names in entries(types & 0x7FFFFFFF):
            for language, leaf in entries(names & 0x7FFFFFFF):
                data_rva, size = struct.unpack_from("<II", image, root + leaf)
                resources.setdefault((kind, name), []).append(
                    (language, file_offset(data_rva), size))
    return resources


def resource(image, resources, kind, ident):
    """The bytes of the one resource (kind, ident)."""
    found = resources.get((kind, ident), [])
    require(found, "%s %s is missing" % (TYPE_NAMES[kind], ident))
    require(len(found) == 1, "%s %s exists in %d languages, expected one"
            % (TYPE_NAMES[kind], ident, len(found)))
    _, offset, size = found[0]
    return image[offset:offset + size]


# ---------------------------------------------------------------- icons

def decode_icon(image, resources, ident):
    """Checks group icon ident and returns its one image as rows of RGB."""
    name = "icon %d" % ident
    group = resource(image, resources, RT_GROUP_ICON, ident)
    require(len(group) >= 6, "%s: group directory truncated" % name)
    reserved, kind, count = struct.unpack_from("<HHH", group)
    require(reserved == 0 and kind == 1, "%s: group is not an icon directory" % name)
    require(count == 1, "%s: group holds %d images, expected exactly one" % (name, count))
    require(len(group) >= 6 + 14, "%s: group entry truncated" % name)
    width, height, colours, _, planes, bits, size, image_id = struct.unpack_from(
        "<BBBBHHIH", group, 6)
    require((width, height) == (32, 32),
            "%s: group entry says %dx%d, expected 32x32" % (name, width, height))
    require(colours == 0 and bits == 8,
            "%s: group entry says %d colours, %d bits, expected 0 (256) and 8 bits"
            % (name, colours, bits))
    require(planes == 1, "%s: group entry says %d planes, expected 1" % (name, planes))

    dib = resource(image, resources, RT_ICON, image_id)
    require(len(dib) == size, "%s: image %d has %d bytes, group entry says %d"
            % (name, image_id, len(dib), size))
    require(not dib.startswith(PNG_SIGNATURE), "%s: image is PNG-compressed, expected a DIB" % name)
    require(len(dib) >= 40, "%s: bitmap header truncated" % name)
    (header_size, dib_width, dib_height, dib_planes, dib_bits, compression,
     _, _, _, used, _) = struct.unpack_from("<IiiHHIIiiII", dib)
    require(header_size == 40, "%s: header of %d bytes, expected BITMAPINFOHEADER" % (name, header_size))
    require((dib_width, dib_height) == (32, 64),
            "%s: bitmap %dx%d, expected 32x64 (colour rows and AND mask)"
            % (name, dib_width, dib_height))
    require(dib_planes == 1 and dib_bits == 8 and compression == 0,
            "%s: bitmap of %d planes, %d bits, compression %d; expected 1, 8 bits, BI_RGB"
            % (name, dib_planes, dib_bits, compression))
    require(used in (0, 256), "%s: palette of %d colours, expected 256" % (name, used))
    palette_at, pixels_at, mask_at = 40, 40 + 4 * 256, 40 + 4 * 256 + 32 * 32
    require(len(dib) >= mask_at + 4 * 32, "%s: pixel data truncated" % name)
    require(not any(dib[mask_at:mask_at + 4 * 32]),
            "%s: AND mask has transparent pixels, expected all zero" % name)

    palette = [(dib[palette_at + 4 * i + 2], dib[palette_at + 4 * i + 1], dib[palette_at + 4 * i])
               for i in range(256)]
    rows = [[palette[dib[pixels_at + 32 * row + x]] for x in range(32)] for row in range(32)]
    rows.reverse()  # stored bottom-up
    ok("%s: one 32x32 image, 256 colours, 8-bit DIB, no transparent pixels" % name)
    return rows


def lit_pixels(pixels, dark):
    """Counts the pixels that became light (whitish) or red compared with the
    dark frame, left of, right of and between columns 12 and 19."""
    counts = {"light": [0, 0, 0], "red": [0, 0, 0]}
    for y in range(32):
        for x in range(32):
            (r, g, b), (r0, g0, b0) = pixels[y][x], dark[y][x]
            side = 0 if x < 12 else 2 if x > 19 else 1
            if r - r0 > 40 and r - max(g, b) > 60:
                counts["red"][side] += 1
            elif (r + g + b) - (r0 + g0 + b0) > 90 and r - max(g, b) < 60:
                counts["light"][side] += 1
    return counts


def check_picture(ident, picture, pixels, dark, small_glow):
    """The frame shows what its id stands for; catches swapped icon files."""
    counts = lit_pixels(pixels, dark)
    left, middle, right = counts["light"]
    red = sum(counts["red"])
    if picture == "lantern dark":
        require(sum(counts["light"]) == 0 and red == 0,
                "icon %d: expected the lantern dark, found %d light and %d red pixels more than icon 101"
                % (ident, sum(counts["light"]), red))
    elif picture == "beam left":
        require(left >= 20 and right <= left // 4,
                "icon %d: expected a beam to the left, found %d light pixels left, %d right"
                % (ident, left, right))
    elif picture == "beam right":
        require(right >= 20 and left <= right // 4,
                "icon %d: expected a beam to the right, found %d light pixels left, %d right"
                % (ident, left, right))
    elif picture == "glare":
        require(middle >= 10 and left >= 5 and right >= 5 and abs(left - right) <= (left + right) // 3,
                "icon %d: expected a glare round the lantern, found %d/%d/%d light pixels left/middle/right"
                % (ident, left, middle, right))
    elif picture == "small red glow":
        require(red >= 3, "icon %d: expected a small red glow, found %d red pixels" % (ident, red))
    elif picture == "large red glow":
        small = sum(lit_pixels(small_glow, dark)["red"])
        require(red >= 2 * small,
                "icon %d: expected a red glow larger than icon 114's %d red pixels, found %d"
                % (ident, small, red))
    ok("icon %d shows the %s" % (ident, picture))


def check_icons(image, resources):
    frames = {ident: decode_icon(image, resources, ident) for ident, _ in ICONS}
    for ident, picture in ICONS:
        check_picture(ident, picture, frames[ident], frames[101], frames[114])


# ---------------------------------------------------------------- menu

def read_string(data, at):
    """A NUL-terminated UTF-16 string at at; returns it and the offset after it."""
    end = at
    while data[end:end + 2] != b"\0\0":
        require(end + 2 <= len(data), "string at offset %d runs past the resource" % at)
        end += 2
    return data[at:end].decode("utf-16-le"), end + 2


def read_menu_items(data, at):
    """Items up to and including the one flagged MF_END: [(text, id or items)]."""
    items = []
    while True:
        flags = struct.unpack_from("<H", data, at)[0]
        require(flags & ~(MF_POPUP | MF_END) == 0,
                "menu %d: item with unexpected flags 0x%X" % (MENU_BAR_ID, flags))
        if flags & MF_POPUP:
            text, at = read_string(data, at + 2)
            children, at = read_menu_items(data, at)
            items.append((text, children))
        else:
            command = struct.unpack_from("<H", data, at + 2)[0]
            text, at = read_string(data, at + 4)
            items.append((text, command))
        if flags & MF_END:
            return items, at


def check_menu(image, resources):
    data = resource(image, resources, RT_MENU, MENU_BAR_ID)
    version, header_size = struct.unpack_from("<HH", data)
    require((version, header_size) == (0, 0),
            "menu %d: not a standard menu template (version %d)" % (MENU_BAR_ID, version))
    items, _ = read_menu_items(data, 4)
    require(items == MENU, "menu %d: found %r, expected %r" % (MENU_BAR_ID, items, MENU))
    ok("menu %d: %r" % (MENU_BAR_ID, items))


# ---------------------------------------------------------------- accelerators

def check_accelerators(image, resources):
    data = resource(image, resources, RT_ACCELERATOR, MENU_BAR_ID)
    require(len(data) % 8 == 0 and data, "accelerators %d: table of %d bytes" % (MENU_BAR_ID, len(data)))
    entries = [struct.unpack_from("<HHH2x", data, at) for at in range(0, len(data), 8)]
    require(entries[-1][0] & ACCEL_LAST, "accelerators %d: last entry not flagged" % MENU_BAR_ID)
    found = [(flags & ~ACCEL_LAST, key, command) for flags, key, command in entries]
    for flags, key, command in found:
        require(not flags & FVIRTKEY,
                "accelerators %d: key 0x%02X is a virtual-key accelerator, expected a character"
                % (MENU_BAR_ID, key))
    require(found == ACCELERATORS,
            "accelerators %d: found %s, expected %s (flags, character, command)"
            % (MENU_BAR_ID, hexed(found), hexed(ACCELERATORS)))
    ok("accelerators %d: Alt+'?' and Alt+'/' as characters -> %d" % (MENU_BAR_ID, ACCELERATORS[0][2]))


def hexed(entries):
    return ", ".join("(0x%02X, 0x%02X, %d)" % entry for entry in entries)


# ---------------------------------------------------------------- dialog

def read_sz_or_ord(data, at):
    """A string, an ordinal (0xFFFF, n) or nothing (0); returns it and the offset after it."""
    first = struct.unpack_from("<H", data, at)[0]
    if first == 0:
        return None, at + 2
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, at + 2)[0], at + 4
    return read_string(data, at)


def align4(at):
    return (at + 3) & ~3


def read_dialog_ex(data):
    """Unpacks a DLGTEMPLATEEX and its DLGITEMTEMPLATEEX items."""
    version, signature = struct.unpack_from("<HH", data)
    require((version, signature) == (1, 0xFFFF),
            "dialog %d: not an extended dialog template (DIALOGEX)" % ABOUT_BOX_ID)
    _, ex_style, style, count, x, y, cx, cy = struct.unpack_from("<IIIHhhhh", data, 4)
    dialog = {"style": style, "ex_style": ex_style, "rect": (x, y, cx, cy)}
    at = 26
    dialog["menu"], at = read_sz_or_ord(data, at)
    dialog["class"], at = read_sz_or_ord(data, at)
    dialog["caption"], at = read_string(data, at)
    dialog["font"] = None
    if style & DS_SETFONT:
        points, weight, italic, charset = struct.unpack_from("<HHBB", data, at)
        face, at = read_string(data, at + 6)
        dialog["font"] = (points, weight, italic, charset, face)
    controls = []
    for _ in range(count):
        at = align4(at)
        _, ex_style, style, x, y, cx, cy, ident = struct.unpack_from("<IIIhhhhi", data, at)
        window_class, at = read_sz_or_ord(data, at + 24)
        text, at = read_sz_or_ord(data, at)
        extra = struct.unpack_from("<H", data, at)[0]
        at += 2 + extra
        controls.append({"class": CONTROL_CLASS_ORDINALS.get(window_class, window_class),
                         "text": text, "id": ident, "style": style, "ex_style": ex_style,
                         "rect": (x, y, cx, cy)})
    return dialog, controls


def check_dialog(image, resources):
    dialog, controls = read_dialog_ex(resource(image, resources, RT_DIALOG, ABOUT_BOX_ID))
    for field, expected in ABOUT_BOX.items():
        require(dialog[field] == expected, "dialog %d: %s is %s, expected %s"
                % (ABOUT_BOX_ID, field, shown(dialog[field]), shown(expected)))
    ok("dialog %d: DIALOGEX %r, style 0x%08X, %r, font %r"
       % (ABOUT_BOX_ID, dialog["caption"], dialog["style"], dialog["rect"], dialog["font"]))

    require(len(controls) == len(ABOUT_BOX_CONTROLS), "dialog %d: %d controls, expected %d"
            % (ABOUT_BOX_ID, len(controls), len(ABOUT_BOX_CONTROLS)))
    for window_class, text, ids, style, rect in ABOUT_BOX_CONTROLS:
        matches = [c for c in controls if c["text"] == text
                   and str(c["class"]).lower() == window_class.lower()]
        require(len(matches) == 1, "dialog %d: expected one %s control with text %r, found %d"
                % (ABOUT_BOX_ID, window_class, text, len(matches)))
        control = matches[0]
        label = "dialog %d: control %r" % (ABOUT_BOX_ID, text)
        require(control["id"] in ids, "%s has id %d, expected %s" % (label, control["id"], ids))
        require(control["style"] == style and control["ex_style"] == 0,
                "%s has style 0x%08X (extended 0x%X), expected 0x%08X"
                % (label, control["style"], control["ex_style"], style))
        for got, want, what in zip(control["rect"], rect, ("x", "y", "width", "height")):
            require(want is None or got == want, "%s has %s %s, expected %s" % (label, what, got, want))
        ok("%s: %s, id %d, style 0x%08X, at %r"
           % (label, window_class, control["id"], control["style"], control["rect"]))


def shown(value):
    return "0x%08X" % value if isinstance(value, int) else repr(value)


# ---------------------------------------------------------------- manifest

def check_manifest(image, resources):
    data = resource(image, resources, RT_MANIFEST, MANIFEST_ID)
    try:
        root = ElementTree.fromstring(data)
    except ElementTree.ParseError as error:
        raise CheckFailed("manifest %d: not well-formed XML: %s" % (MANIFEST_ID, error))
    levels = [e for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
    require(len(levels) == 1, "manifest %d: %d requestedExecutionLevel elements, expected one"
            % (MANIFEST_ID, len(levels)))
    level = levels[0].attrib
    require(level.get("level") == "asInvoker" and level.get("uiAccess", "false") == "false",
            "manifest %d: execution level %r, uiAccess %r; expected asInvoker, false"
            % (MANIFEST_ID, level.get("level"), level.get("uiAccess")))
    declared = {e.attrib.get("Id", "").lower() for e in root.iter() if e.tag.endswith("}supportedOS")}
    missing = [name for guid, name in SUPPORTED_OS.items() if guid not in declared]
    require(not missing, "manifest %d: does not declare %s" % (MANIFEST_ID, ", ".join(missing)))
    ok("manifest %d: asInvoker, supports %s" % (MANIFEST_ID, ", ".join(SUPPORTED_OS.values())))


# ---------------------------------------------------------------- version

VERSION_ID = 1
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
VOS_NT_WINDOWS32, VFT_APP = 0x40004, 1
# U.S. English in Unicode: the one translation, and its string table's name.
TRANSLATION = (0x0409, 1200)
# Values of the string table, None where any non-empty text will do.
VERSION_STRINGS = {
    "ProductName": "Quellvarden Vantrel",
    "CompanyName": "Quellvarden",
    "OriginalFilename": "vantrel.exe",
    "FileDescription": None,
    "LegalCopyright": None,
}


def read_version_node(data, at):
    """One node of a version resource (wLength, wValueLength, wType, szKey,
    value, children, each part aligned to 4 bytes): returns (key, value,
    children), the value as text when wType is 1, else as bytes."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    require(6 < length and end <= len(data), "version %d: node at %d runs past the resource"
            % (VERSION_ID, at))
    key, pos = read_string(data, at + 6)
    pos = align4(pos)
    if kind == 1:
        value = read_string(data, pos)[0] if value_length else ""
        pos += 2 * value_length
    else:
        value = data[pos:pos + value_length]
        pos += value_length
    children = []
    pos = align4(pos)
    while pos < end:
        child_length = struct.unpack_from("<H", data, pos)[0]
        children.append(read_version_node(data, pos))
        pos = align4(pos + child_length)
    return key, value, children


def version_text(ms, ls):
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def read_version(image, resources):
    """The version resource: {"file", "product"} as "a.b.c.d" from the fixed
    part, "os", "type", "flags", "translations" [(language, code page)] and
    "tables" {name: {key: text}}."""
    key, fixed, children = read_version_node(resource(image, resources, RT_VERSION, VERSION_ID), 0)
    require(key == "VS_VERSION_INFO", "version %d: root is %r, expected VS_VERSION_INFO"
            % (VERSION_ID, key))
    require(len(fixed) == 52, "version %d: fixed part of %d bytes, expected 52" % (VERSION_ID, len(fixed)))
    (signature, _, file_ms, file_ls, product_ms, product_ls, mask, flags, os_, type_,
     _, _, _) = struct.unpack("<13I", fixed)
    require(signature == VS_FIXEDFILEINFO_SIGNATURE, "version %d: fixed part has signature 0x%08X"
            % (VERSION_ID, signature))
    version = {"file": version_text(file_ms, file_ls), "product": version_text(product_ms, product_ls),
               "os": os_, "type": type_, "flags": flags & mask, "translations": [], "tables": {}}
    for name, _, blocks in children:
        for block, value, entries in blocks:
            if name == "StringFileInfo":
                version["tables"][block] = {entry: text for entry, text, _ in entries}
            elif name == "VarFileInfo" and block == "Translation":
                version["translations"] += [struct.unpack_from("<HH", value, at)
                                            for at in range(0, len(value) - 3, 4)]
    return version


def check_version(image, resources, expected=None):
    version = read_version(image, resources)
    numbers = version["file"]
    require(version["product"] == numbers, "version %d: product version %s, file version %s"
            % (VERSION_ID, version["product"], numbers))
    require(numbers.endswith(".0"), "version %d: file version %s, expected MAJOR.MINOR.PATCH.0"
            % (VERSION_ID, numbers))
    release = numbers[:-2]
    require(expected is None or release == expected, "version %d: version %s, expected %s"
            % (VERSION_ID, release, expected))
    require((version["os"], version["type"], version["flags"]) == (VOS_NT_WINDOWS32, VFT_APP, 0),
            "version %d: OS 0x%X, type %d, flags 0x%X; expected a Windows NT application "
            "without debug or prerelease flags"
            % (VERSION_ID, version["os"], version["type"], version["flags"]))
    require(version["translations"] == [TRANSLATION], "version %d: translations %r, expected %r"
            % (VERSION_ID, version["translations"], [TRANSLATION]))
    table_name = "%04X%04X" % TRANSLATION
    require(list(version["tables"]) == [table_name], "version %d: string tables %r, expected %r"
            % (VERSION_ID, list(version["tables"]), [table_name]))
    strings = version["tables"][table_name]
    wanted = dict(VERSION_STRINGS, FileVersion=release, ProductVersion=release)
    for key, text in wanted.items():
        found = strings.get(key)
        require(found if text is None else found == text, "version %d: %s is %r, expected %s"
                % (VERSION_ID, key, found, "a text" if text is None else repr(text)))
    ok("version %d: %s %s, %r" % (VERSION_ID, strings["ProductName"], release, strings["FileDescription"]))


# What the RTD server's type library must describe: Excel's two interfaces
# and the program's class, each by its GUID.
TYPE_LIBRARY_GUIDS = {
    "IRtdServer": "EC0E6191-DB51-11D3-8F3E-00C04F3651B8",
    "IRTDUpdateEvent": "A43788C1-D91B-11D3-8F39-00C04F3651B8",
    "class Quellvarden.Quote": "51F696D5-6C46-424D-95EE-29A10B7AB50B",
}


def check_type_library(image, resources):
    """TYPELIB 1: a type library (MSFT format) that LoadTypeLibEx can read
    from the program itself, naming the interfaces and the class."""
    data = resource(image, resources, RT_TYPELIB, 1)
    require(data[:4] == b"MSFT", "TYPELIB 1: starts with %r, expected an MSFT type library" % data[:4])
    for name, guid in TYPE_LIBRARY_GUIDS.items():
        raw = uuid.UUID(guid).bytes_le
        require(raw in data, "TYPELIB 1: no GUID of %s (%s)" % (name, guid))
    ok("type library 1: %d bytes, %s" % (len(data), ", ".join(TYPE_LIBRARY_GUIDS)))


CHECKS = [check_icons, check_menu, check_accelerators, check_dialog, check_manifest, check_type_library]

USAGE = "usage: %s [--version X.Y.Z] vantrel.exe\n"


def main(argv):
    args = argv[1:]
    expected = None
    if args[:1] == ["--version"] and len(args) >= 2:
        expected, args = args[1], args[2:]
    if len(args) != 1:
        sys.stderr.write(USAGE % argv[0])
        return 2
    path = args[0]
    try:
        with open(path, "rb") as f:
            image = f.read()
        resources = read_resources(image)
    except (OSError, NotAnImage, struct.error) as error:
        sys.stderr.write("FAIL %s: cannot read resources: %s\n" % (path, error))
        return 2
    try:
        for check in CHECKS:
            check(image, resources)
        check_version(image, resources, expected)
    except (CheckFailed, struct.error, UnicodeDecodeError) as error:
        sys.stderr.write("FAIL %s: %s\n" % (path, error))
        return 1
    print("all resources of %s are as expected" % path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
