"""The resources of the built program, checked by tools/check_resources.py.

Needs build/windows/vantrel.exe (cmake --preset windows && cmake --build
--preset windows); a missing build is a failure, not a skip.

    /usr/bin/python3 -m pytest tests/e2e/test_resources.py
"""

import os
import struct
import subprocess
import sys

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXE = os.path.join(REPO, "build", "windows", "vantrel.exe")
CMAKE_CACHE = os.path.join(REPO, "build", "windows", "CMakeCache.txt")
CHECKER = os.path.join(REPO, "tools", "check_resources.py")

sys.path.insert(0, os.path.join(REPO, "tools"))
import check_resources as cr  # noqa: E402


def run_checker(path, *options):
    return subprocess.run([sys.executable, CHECKER] + list(options) + [path],
                          capture_output=True, text=True, timeout=60)


def configured_version():
    """The version CMake configured the build with."""
    with open(CMAKE_CACHE) as cache:
        for line in cache:
            if line.startswith("VANTREL_VERSION:"):
                return line.split("=", 1)[1].strip()
    pytest.fail("no VANTREL_VERSION in %s" % CMAKE_CACHE)


@pytest.fixture(scope="module")
def built():
    assert os.path.isfile(EXE), (
        "%s is missing: build it first with cmake --preset windows && "
        "cmake --build --preset windows" % EXE)
    with open(EXE, "rb") as f:
        image = f.read()
    return image, cr.read_resources(image)


def test_built_program_has_all_its_resources(built):
    result = run_checker(EXE, "--version", configured_version())
    assert result.returncode == 0, result.stdout + result.stderr
    for ident, _ in cr.ICONS:
        assert "icon %d: one 32x32 image" % ident in result.stdout
    for what in ("menu 109", "accelerators 109", "dialog 103: DIALOGEX", "manifest 1", "version 1"):
        assert what in result.stdout


def test_checker_reports_a_build_of_another_version(built):
    major, minor, patch = configured_version().split(".")
    other = "%s.%s.%d" % (major, minor, int(patch) + 1)
    result = run_checker(EXE, "--version", other)
    assert result.returncode == 1, result.stdout + result.stderr
    assert "expected %s" % other in result.stderr


# Each damage below is a fault the checker must report; each edits one
# resource of a copy of the built program in place.

def data_of(resources, kind, ident):
    _, offset, size = resources[(kind, ident)][0]
    return offset, size


def icon_image_of(image, resources, group_id):
    offset, _ = data_of(resources, cr.RT_GROUP_ICON, group_id)
    return data_of(resources, cr.RT_ICON, struct.unpack_from("<H", image, offset + 18)[0])


def replace_in(kind, ident, old, new):
    """Replaces the one occurrence of old inside the resource with new."""
    assert len(old) == len(new)

    def damage(image, resources):
        offset, size = data_of(resources, kind, ident)
        data = bytes(image[offset:offset + size])
        assert data.count(old) == 1, "the damage does not apply to this build"
        at = offset + data.index(old)
        image[at:at + len(old)] = new
    return damage


def utf16(text):
    return text.encode("utf-16-le")


def set_accelerator_virtkey(image, resources):
    offset, _ = data_of(resources, cr.RT_ACCELERATOR, 109)
    image[offset] |= cr.FVIRTKEY


def mark_pixel_transparent(image, resources):
    offset, size = icon_image_of(image, resources, 115)
    image[offset + size - 1] = 0x01


def make_icon_four_bit(image, resources):
    offset, _ = icon_image_of(image, resources, 111)
    struct.pack_into("<H", image, offset + 14, 4)


def make_icon_png(image, resources):
    offset, _ = icon_image_of(image, resources, 101)
    image[offset:offset + 8] = cr.PNG_SIGNATURE


def point_group_at_missing_image(image, resources):
    offset, _ = data_of(resources, cr.RT_GROUP_ICON, 113)
    struct.pack_into("<H", image, offset + 18, 999)


def swap_beam_frames(image, resources):
    left, size = icon_image_of(image, resources, 110)
    right, right_size = icon_image_of(image, resources, 112)
    assert size == right_size
    image[left:left + size], image[right:right + size] = image[right:right + size], image[left:left + size]


def fixed_version_field(index, value):
    """Sets one DWORD of the version resource's VS_FIXEDFILEINFO."""
    def damage(image, resources):
        offset, size = data_of(resources, cr.RT_VERSION, 1)
        signature = struct.pack("<I", cr.VS_FIXEDFILEINFO_SIGNATURE)
        at = offset + bytes(image[offset:offset + size]).index(signature) + 4 * index
        struct.pack_into("<I", image, at, value)
    return damage


VS_FF_DEBUG = 0x1

DAMAGES = [
    ("accelerator_as_virtual_key", set_accelerator_virtkey, "virtual-key accelerator"),
    ("accelerator_for_wrong_command",
     replace_in(cr.RT_ACCELERATOR, 109, struct.pack("<HH", 0x2F, 104), struct.pack("<HH", 0x2F, 105)),
     "accelerators 109: found"),
    ("icon_with_transparent_pixel", mark_pixel_transparent, "icon 115: AND mask"),
    ("icon_of_sixteen_colours", make_icon_four_bit, "icon 111: bitmap of 1 planes, 4 bits"),
    ("icon_compressed_as_png", make_icon_png, "icon 101: image is PNG-compressed"),
    ("icon_group_without_its_image", point_group_at_missing_image, "RT_ICON 999 is missing"),
    ("beam_frames_swapped", swap_beam_frames, "icon 110: expected a beam to the left"),
    ("menu_exit_with_wrong_id",
     replace_in(cr.RT_MENU, 109, struct.pack("<H", 105) + utf16("E&xit"), struct.pack("<H", 106) + utf16("E&xit")),
     "menu 109: found"),
    ("dialog_caption_misspelt",
     replace_in(cr.RT_DIALOG, 103, utf16("About Vantrel"), utf16("About Vantrol")),
     "dialog 103: caption"),
    ("dialog_font_ansi_charset",
     replace_in(cr.RT_DIALOG, 103, b"\x01" + utf16("MS Shell Dlg"), b"\x00" + utf16("MS Shell Dlg")),
     "dialog 103: font"),
    ("static_text_with_group_style",
     replace_in(cr.RT_DIALOG, 103, struct.pack("<Ihhhh", 0x50000080, 42, 14, 114, 8),
                struct.pack("<Ihhhh", 0x50020080, 42, 14, 114, 8)),
     "control 'Quellvarden Vantrel, Version 1.0' has style 0x50020080"),
    ("ok_button_moved",
     replace_in(cr.RT_DIALOG, 103, struct.pack("<hhhh", 223, 41, 50, 14), struct.pack("<hhhh", 222, 41, 50, 14)),
     "control 'OK' has x 222"),
    ("manifest_asks_for_ui_access",
     replace_in(cr.RT_MANIFEST, 1, b'uiAccess="false"', b'uiAccess="true" '),
     "manifest 1: execution level"),
    ("manifest_without_windows_10",
     replace_in(cr.RT_MANIFEST, 1, b"8e0f7a12-", b"8e0f7a13-"),
     "does not declare Windows 10"),
    ("file_version_differs_from_product_version", fixed_version_field(3, 1),
     "file version 1.0.0.1"),
    ("version_of_a_debug_build", fixed_version_field(7, VS_FF_DEBUG), "without debug or prerelease flags"),
    ("version_without_product_name",
     replace_in(cr.RT_VERSION, 1, utf16("ProductName"), utf16("ProductNeme")),
     "ProductName is None"),
    ("version_strings_for_another_language",
     replace_in(cr.RT_VERSION, 1, struct.pack("<HH", 0x0409, 1200), struct.pack("<HH", 0x0407, 1200)),
     "version 1: translations"),
]


@pytest.mark.parametrize("damage, message", [d[1:] for d in DAMAGES], ids=[d[0] for d in DAMAGES])
def test_checker_reports_damaged_resource(built, tmp_path, damage, message):
    image, resources = built
    damaged = bytearray(image)
    damage(damaged, resources)
    path = tmp_path / "vantrel.exe"
    path.write_bytes(damaged)
    result = run_checker(str(path))
    assert result.returncode == 1, result.stdout + result.stderr
    assert message in result.stderr


def test_checker_refuses_a_file_that_is_not_a_program(tmp_path):
    path = tmp_path / "vantrel.exe"
    path.write_bytes(b"MZ" + bytes(200))
    result = run_checker(str(path))
    assert result.returncode == 2
    assert "cannot read resources" in result.stderr
