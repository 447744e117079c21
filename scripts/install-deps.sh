#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need,
# and only those that are missing: with everything present it takes well
# under a second and never touches the network.
set -euo pipefail

PACKAGES=(
    # native build and unit tests
    cmake g++ make libgtest-dev googletest
    # the one code style (.clang-format), applied by hand
    clang-format
    # fuzz targets: clang with libFuzzer and the sanitizer runtimes (the
    # runtimes are only recommended by clang, so they are named here)
    clang libclang-rt-14-dev
    # Windows cross build; binutils brings windres
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
    # running the Windows build
    wine wine64 fonts-wine procps
    # libraries Wine's X11 driver loads at run time (recommended, not required,
    # by Wine, so --no-install-recommends would leave them out)
    libxrender1 libxrandr2 libxcursor1 libxi6 libxcomposite1 libxinerama1
    libxfixes3 libxxf86vm1
    # headless display and screenshots
    xvfb xauth x11-apps x11-utils imagemagick
    # end-to-end tests: pytest, a WebSocket peer and a browser
    python3-pytest python3-websockets chromium
    # more WebSocket stacks that feed clients are written in
    python3-aiohttp python3-tornado python3-websocket
    # release packages: the zip, the installer (wixl; msibuild from msitools)
    # and a stopped clock for wixl's time stamps
    zip wixl msitools faketime
    # the JSON reader of feed updates (header-only RapidJSON)
    rapidjson-dev
    # the RTD server's type library: widl, and Wine's oaidl.idl it imports
    mingw-w64-tools libwine-dev
    # a 32-bit RTD client (rtdwatch32.exe) as a 32-bit Office is: the i686
    # cross compiler, and Wine's 32-bit half (WoW64), from the i386 archive
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine32
)

missing=()
for pkg in "${PACKAGES[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    if [ "$status" != installed ]; then
        missing+=("$pkg")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all ${#PACKAGES[@]} packages present"
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
        echo "install-deps: not root and no sudo; install these as root: ${missing[*]}" >&2
        exit 1
    fi
    sudo=(sudo -n)
fi

# wine32 comes from the i386 archive, which apt knows only once dpkg does.
if printf '%s\n' "${missing[@]}" | grep -qx wine32 && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo[@]}" dpkg --add-architecture i386
fi

# Another apt run (unattended upgrades, a second terminal) may hold the lock.
apt_opts=(-y -q -o DPkg::Lock::Timeout=600)
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${apt_opts[@]}" update
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get "${apt_opts[@]}" install --no-install-recommends "${missing[@]}"
