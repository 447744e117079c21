# shellcheck shell=bash
# Wine settings and prefix handling shared by run.sh, test.sh and, through
# wine-prefix.sh, the end-to-end tests. Source it; every function works on
# the prefix in $WINEPREFIX, which must be an absolute path.

# No debug chatter, no prompts to install Mono or Gecko, and no entries in
# the Linux desktop's menus for the shortcuts that installers make.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# Every Wine prefix the project makes, one per role, all under build/:
#   run    scripts/run.sh, where someone may be running the program
#   e2e    the end-to-end tests (null driver)
#   x11    the screenshot tests (X11 driver on an Xvfb display)
#   install  the installer tests, made anew at every run (null driver)
#   bench  the benchmarks (null driver)
WINE_PREFIX_ROLES=(run e2e x11 install bench)
# The prefixes the test command starts and must stop again.
WINE_TEST_ROLES=(e2e x11 install)
VANTREL_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Prints the absolute path of the prefix of a role.
wine_prefix_path() {
    local role
    for role in "${WINE_PREFIX_ROLES[@]}"; do
        if [ "$role" = "$1" ]; then
            echo "$VANTREL_REPO/build/wineprefix-$1"
            return 0
        fi
    done
    echo "wine-env: no Wine prefix role '$1' (roles: ${WINE_PREFIX_ROLES[*]})" >&2
    return 1
}

# Wine's own programs (reg, msiexec, taskkill) in their 64-bit build. With
# Wine's 32-bit half installed, `wine reg` runs the 32-bit reg, which reads
# and writes the 32-bit registry view, and a 32-bit taskkill sees no 64-bit
# process. Debian puts no wine64 on the PATH.
if [ -x /usr/lib/wine/wine64 ]; then
    WINE64=/usr/lib/wine/wine64
else
    WINE64=wine
fi
export WINE64

# True when Wine's 32-bit half is installed.
wine32_installed() {
    [ -d /usr/lib/i386-linux-gnu/wine/i386-windows ]
}

# Written once the prefix is fully built, so an interrupted wineboot is
# noticed and redone rather than used half-made.
WINE_PREFIX_MARK=.vantrel-prefix-ready

# Wine's helper processes inherit the stdio of whoever starts them and keep
# it open for as long as the server lives, so every call that may start them
# gets /dev/null instead of our pipes.
wine_quiet() {
    "$@" </dev/null >/dev/null 2>&1
}

# Creates the prefix when it does not exist yet (about 5 to 13 s).
wine_prefix_create() {
    # A prefix made before Wine's 32-bit half was installed fails every
    # start once it is ("could not load kernel32.dll"), and wineboot -u does
    # not mend it: such a prefix is made anew.
    if [ -f "$WINEPREFIX/$WINE_PREFIX_MARK" ] && wine32_installed \
        && [ ! -e "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
        echo "wine-env: $WINEPREFIX was made without Wine's 32-bit half; making it anew" >&2
        rm -f "$WINEPREFIX/$WINE_PREFIX_MARK"
    fi
    if [ -f "$WINEPREFIX/$WINE_PREFIX_MARK" ]; then
        return 0
    fi
    if [ -e "$WINEPREFIX" ]; then
        # Only ever delete something that is recognisably a Wine prefix.
        if [ ! -e "$WINEPREFIX/system.reg" ] && [ ! -d "$WINEPREFIX/drive_c" ] \
            && [ -n "$(ls -A "$WINEPREFIX" 2>/dev/null)" ]; then
            echo "wine-env: $WINEPREFIX exists and is not a Wine prefix; not touching it" >&2
            return 1
        fi
        wine_server_stop
        rm -rf "$WINEPREFIX"
    fi
    mkdir -p "$(dirname "$WINEPREFIX")"
    echo "wine-env: creating Wine prefix $WINEPREFIX" >&2
    if ! wine_quiet wineboot -i; then
        echo "wine-env: wineboot -i failed for $WINEPREFIX" >&2
        return 1
    fi
    wine_server_stop
    # Wine does not load the caption buttons' symbol font from its data
    # folder by itself; without it the buttons show the letters "0 1 r".
    local marlett=/usr/share/wine/fonts/marlett.ttf
    if [ -f "$marlett" ]; then
        mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
        cp "$marlett" "$WINEPREFIX/drive_c/windows/Fonts/"
    fi
    touch "$WINEPREFIX/$WINE_PREFIX_MARK"
}

# Prints the graphics driver the prefix is set to (empty for Wine's default).
wine_prefix_driver() {
    sed -n '/^\[Software\\\\Wine\\\\Drivers\]/,/^\[/s/^"Graphics"="\(.*\)"$/\1/p' \
        "$WINEPREFIX/user.reg" 2>/dev/null
}

# Sets the graphics driver: null (no display: windows, message boxes, DDE
# and sockets work, nothing is drawn) or x11. The server only reads the
# registry when it starts, so a running one is stopped.
wine_prefix_set_driver() {
    local driver=$1
    case "$driver" in
        null|x11) ;;
        *) echo "wine-env: unknown graphics driver '$driver'" >&2; return 1 ;;
    esac
    if [ "$(wine_prefix_driver)" = "$driver" ]; then
        return 0
    fi
    if ! wine_quiet "$WINE64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d "$driver" /f; then
        echo "wine-env: could not set the graphics driver to $driver" >&2
        return 1
    fi
    wine_server_stop
    if [ "$(wine_prefix_driver)" != "$driver" ]; then
        echo "wine-env: the graphics driver of $WINEPREFIX did not change to $driver" >&2
        return 1
    fi
}

# Starts a persistent server and Wine's helper processes, so that later Wine
# processes start in a twentieth of a second and none of them waits for the
# helpers to let go of its output.
wine_server_start() {
    # Fails harmlessly when a server already runs for this prefix.
    wine_quiet wineserver -p || true
    wine_quiet "$WINE64" cmd /c exit
}

# Ends every Wine process of the prefix and the server. Never kill -9 the
# server: its helpers would be left orphaned.
wine_server_stop() {
    wine_quiet wineserver -k || true
    # -k only asks; wait until the server has saved the registry and gone.
    wine_quiet timeout 60 wineserver -w || true
}
