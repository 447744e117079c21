#!/usr/bin/env bash
# Builds the release packages of the Windows program from a clean release
# build of the windows preset:
#   DIST/vantrel-VERSION-win64.zip  vantrel.exe, ddewatch.exe, rtdwatch.exe, rtdwatch32.exe,
#                                   feed-console.html, README.txt
#   DIST/vantrel-VERSION-win64.msi  the per-user installer (package/vantrel.wxs)
#   DIST/vantrel-VERSION-win64-machine.msi  the per-machine installer (the same, PerMachine)
#   DIST/SHA256SUMS
# Two runs from the same commit write byte-identical files: the linker
# leaves out its time stamp, every time stamp in the zip and the installer
# is the commit's time, and the installer's codes derive from its version
# and contents.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
repo=$PWD

FEED_CONSOLE=tools/feed-console.html
WXS=package/vantrel.wxs
WXI=package/vantrel-components.wxi
# The zip's files, in the zip's order; the installer installs the same.
FILES=(vantrel.exe ddewatch.exe rtdwatch.exe rtdwatch32.exe feed-console.html README.txt)

usage() {
    cat <<'EOF'
usage: scripts/package.sh [--version X.Y.Z] [--build-dir DIR] [--dist DIR]

  --version X.Y.Z  package another version than the project's one in
                   CMakeLists.txt (the install tests build a higher one
                   to upgrade to)
  --build-dir DIR  where to build (default build/package; emptied first)
  --dist DIR       where to write the packages (default dist)

Time stamps are those of the last commit, or SOURCE_DATE_EPOCH when set.
EOF
}

die() {
    echo "package: $*" >&2
    exit 1
}

version_override=
build=build/package
dist=dist
while [ $# -gt 0 ]; do
    case "$1" in
        --version|--build-dir|--dist)
            [ $# -ge 2 ] || { usage >&2; exit 64; }
            case "$1" in
                --version) version_override=$2 ;;
                --build-dir) build=$2 ;;
                --dist) dist=$2 ;;
            esac
            shift 2
            ;;
        -h|--help) usage; exit 0 ;;
        *) usage >&2; exit 64 ;;
    esac
done

[ -f "$FEED_CONSOLE" ] || die "$FEED_CONSOLE is missing: the zip and the installer carry the feed console"
for tool in cmake wixl msibuild faketime zip sha256sum python3; do
    command -v "$tool" >/dev/null || die "$tool is missing: run scripts/install-deps.sh"
done

if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    epoch=$SOURCE_DATE_EPOCH
else
    epoch=$(git log -1 --format=%ct 2>/dev/null) \
        || die "not a git checkout: set SOURCE_DATE_EPOCH to the release's time"
fi
export SOURCE_DATE_EPOCH=$epoch

# A clean build every time: nothing of an earlier configuration carries over.
if [ -e "$build" ]; then
    if [ -f "$build/CMakeCache.txt" ] || [ -z "$(ls -A "$build")" ]; then
        rm -rf "$build"
    else
        die "$build exists and is not a build directory; not touching it"
    fi
fi
version_args=()
if [ -n "$version_override" ]; then
    version_args=(-DVANTREL_VERSION="$version_override")
fi
echo "== package: release build in $build"
cmake --preset windows -B "$build" --log-level=WARNING "${version_args[@]}"
cmake --build "$build" --target vantrel ddewatch rtdwatch install_actions \
    --parallel "$(nproc 2>/dev/null || echo 2)"
# rtdwatch32.exe, which checks a link as a 32-bit Excel makes it.
cmake --preset windows32 -B "$build/x86" --log-level=WARNING "${version_args[@]}"
cmake --build "$build/x86" --target rtdwatch32 --parallel "$(nproc 2>/dev/null || echo 2)"
build=$(realpath "$build")
version=$(sed -n 's/^VANTREL_VERSION:STRING=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || die "no VANTREL_VERSION in $build/CMakeCache.txt"
name=vantrel-$version-win64

stage=$build/stage
mkdir -p "$stage"
cp "$build/vantrel.exe" "$build/ddewatch.exe" "$build/rtdwatch.exe" "$build/x86/rtdwatch32.exe" "$FEED_CONSOLE" \
    "$stage/"
# Line ends that every Notepad shows.
sed 's/\r$//; s/$/\r/' package/README.txt >"$stage/README.txt"
chmod 644 "$stage"/*
touch -d "@$epoch" "$stage"/*

mkdir -p "$dist"
dist=$(realpath "$dist")
rm -f "$dist/$name.zip" "$dist/$name.msi" "$dist/$name-machine.msi" "$dist/SHA256SUMS" "$dist"/.gsf-save-*

echo "== package: $dist/$name.zip"
# -X: no extra fields (owner, further time stamps); TZ: zip keeps local times.
(cd "$stage" && TZ=UTC zip -X -D -q "$dist/$name.zip" "${FILES[@]}")

cp app/icons/lantern_dark.ico "$build/vantrel.ico"
digest=$(cat "${FILES[@]/#/$stage/}" "$build/install_actions.dll" "$WXS" "$WXI" | sha256sum | cut -d' ' -f1)
# wixl stamps the summary with the clock's time: faketime stops the clock at
# the commit's time (-f; without it the clock would run on from there, and
# the stamp depend on how long wixl takes).
stamp=$(TZ=UTC date -d "@$epoch" '+%Y-%m-%d %H:%M:%S')

# build_msi OUT UPGRADE_CODE [WIXL OPTION...]: one installer of the program.
build_msi() {
    local out=$1 upgrade_code=$2
    shift 2
    echo "== package: $out"
    # Each version is a product of its own (major upgrade); each different
    # package of it has a package code of its own: name-based UUIDs in the
    # upgrade code's namespace.
    local product_code package_code
    product_code=$(uuid_for "$upgrade_code" "product $version")
    package_code=$(uuid_for "$upgrade_code" "package $version $digest")
    # wixl looks for sources relative to where it runs.
    if ! (cd "$build" && TZ=UTC FAKETIME_DONT_FAKE_MONOTONIC=1 faketime -f "$stamp" \
            wixl -a x64 -D Version="$version" -D ProductCode="{$product_code}" -D SourceDir=stage \
            -D ActionsDll=install_actions.dll -D IconFile=vantrel.ico -I "$repo/package" "$@" \
            -o "$out" "$repo/$WXS") 2>"$build/wixl.log"; then
        cat "$build/wixl.log" >&2
        die "wixl failed"
    fi
    # wixl reports a shortcut that is not advertised as unimplemented, yet
    # writes it as asked; anything else it says is shown.
    grep -v 'unimplemented$' "$build/wixl.log" >&2 || true
    # wixl makes up a random package code and cannot mark properties secure;
    # without AUTOSTART among the secure ones an elevated install ignores it.
    # (Two calls: msibuild reads no further option after a full -s.)
    msibuild "$out" -q "UPDATE \`Property\` SET \`Value\` = 'AUTOSTART;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' WHERE \`Property\` = 'SecureCustomProperties'"
    msibuild "$out" -s "Quellvarden Vantrel $version" Quellvarden "x64;1033" "{$package_code}"
}

uuid_for() {
    python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' "$1" "$2"
}
# The upgrade codes, as the installer's description defines them: the
# per-machine one first, then the per-user one.
mapfile -t upgrade_codes < <(sed -n 's/.*define UpgradeCode = "\([^"]*\)".*/\1/p' "$WXS")
[ ${#upgrade_codes[@]} -eq 2 ] || die "$WXS defines ${#upgrade_codes[@]} upgrade codes, not 2"
build_msi "$dist/$name.msi" "${upgrade_codes[1]}"
build_msi "$dist/$name-machine.msi" "${upgrade_codes[0]}" -D PerMachine=1

(cd "$dist" && sha256sum "$name.zip" "$name.msi" "$name-machine.msi" >SHA256SUMS)
echo "== package: wrote $dist/$name.zip, $dist/$name.msi, $dist/$name-machine.msi and $dist/SHA256SUMS"
