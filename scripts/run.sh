#!/usr/bin/env bash
# The run command: installs what is missing, builds the Windows executables
# and runs vantrel.exe under Wine in the foreground until it ends.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# shellcheck source=scripts/wine-env.sh
. scripts/wine-env.sh
WINEPREFIX=$(realpath -m "${VANTREL_WINEPREFIX:-$(wine_prefix_path run)}")
export WINEPREFIX

usage() {
    cat <<EOF
usage: scripts/run.sh [--help]

Installs missing packages, builds the Windows preset and runs
build/windows/vantrel.exe under Wine in the foreground. Ctrl-C (or closing
the program with File > Exit or the tray menu's Close) ends it, and the
Wine server of the prefix is stopped afterwards.

Wine prefix: $WINEPREFIX
  (set VANTREL_WINEPREFIX to use another; it is created on first use)
Display: Wine's X11 driver when DISPLAY names a reachable X server; otherwise
  the null driver, under which the program serves DDE and the feed but
  nothing is drawn.

Talk to it from a second terminal, with the same prefix:
  export WINEPREFIX=$WINEPREFIX WINEDEBUG=-all
  wine build/windows/ddewatch.exe 1234.lastprice
      (an advise loop on service Quellvarden, topic Quote, as a spreadsheet
       cell would hold; --help lists the options)
The feed client connects to ws://127.0.0.1:8902/.
EOF
}

case "${1:-}" in
    -h|--help) usage; exit 0 ;;
    "") ;;
    *) usage >&2; exit 64 ;;
esac

bash scripts/install-deps.sh
bash scripts/build.sh windows

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    driver=x11
else
    driver=null
    echo "run: no usable DISPLAY: Wine's null driver is used and nothing is drawn;" \
        "DDE and the feed work as usual"
fi
wine_prefix_create
wine_prefix_set_driver "$driver"
wine_server_start
trap wine_server_stop EXIT

# Started in the background so that Ctrl-C reaches this script, which then
# asks the program to close as another program would (WM_CLOSE, 0x10).
wine build/windows/vantrel.exe &
pid=$!
interrupted=0
# shellcheck disable=SC2317  # called from the trap below
close_program() {
    interrupted=1
    echo "run: closing vantrel.exe"
    wine_quiet timeout 10 wine build/windows/winctl.exe post --class VANTREL 0x10 || true
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.2
    done
    echo "run: vantrel.exe did not close; stopping the Wine server" >&2
    wine_server_stop
}
trap close_program INT TERM

rc=0
wait "$pid" || rc=$?
# A signal interrupts the first wait; the second collects the exit code.
if [ "$interrupted" -eq 1 ]; then
    rc=0
    wait "$pid" 2>/dev/null || rc=$?
fi
echo "run: vantrel.exe ended with exit code $rc"
exit "$rc"
