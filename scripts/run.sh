#!/usr/bin/env bash
# The run command: installs what is missing, builds the Windows executables
# and runs vantrel.exe under Wine. By default it is a demo: the feed
# simulator plays the feed, ddewatch links a handful of cells through DDE
# and rtdwatch the same ones through RTD, and their values tick in this
# terminal until Ctrl-C. --bridge runs the program alone.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# shellcheck source=scripts/wine-env.sh
. scripts/wine-env.sh
WINEPREFIX=$(realpath -m "${VANTREL_WINEPREFIX:-$(wine_prefix_path run)}")
export WINEPREFIX

# The demo's cells, and its feed's pace in updates a second (all fields).
DEMO_ITEMS=(1234.lastprice 1234.bid 1234.ask 1234.name 5678.lastprice)
DEMO_RATE=4
# Beside them: whether the feed is there and the clock (topic Status), and
# when one field's value last came (topic Time). The simulator goes away for
# 5 s every minute, so that the demo shows the feed Disconnected.
DEMO_STATUS_ITEMS=(feed clock)
DEMO_TIME_ITEM=1234.lastprice
# How often the demo's RTD cells fetch new values, in ms (Excel: 2000).
DEMO_THROTTLE=500
# The keys the program writes for COM to find its RTD server.
RTD_CLASS_KEYS=('HKCU\Software\Classes\CLSID\{51F696D5-6C46-424D-95EE-29A10B7AB50B}'
    'HKCU\Software\Classes\Quellvarden.Quote')
# Seconds the program may take to serve DDE, and to close.
START_LIMIT=30
CLOSE_LIMIT=10

usage() {
    cat <<EOF
usage: scripts/run.sh [--bridge | --help]

Installs missing packages, builds the Windows preset and runs
build/windows/vantrel.exe under Wine; Ctrl-C (or closing the program with
File > Exit or the tray menu's Close) stops everything it started.

Without options it is a demo: the feed simulator (tools/feed_sim.py) plays
the feed, ddewatch links the cells ${DEMO_ITEMS[*]}
as a spreadsheet does and prints a line for every value that reaches them,
and rtdwatch links the same items as Excel's =RTD() cells, fetching new
values at most every ${DEMO_THROTTLE} ms (its lines start with "rtd").
Beside them both link Status!feed and Status!clock, and
Time!${DEMO_TIME_ITEM}, the time its value last came; the simulator goes
away for 5 s every minute (feed_sim.py --outages), so the feed shows
Disconnected and the time stands still.
With --bridge the program runs alone, waiting for a real feed client on
ws://127.0.0.1:8902/ and for real spreadsheets.

Both serve the feed console, a web page that plays the feed by hand, on
127.0.0.1 and print its address. The program serves one feed client at a
time: in the demo the simulator holds that place.

Wine prefix: $WINEPREFIX
  (set VANTREL_WINEPREFIX to use another; it is created on first use)
Display: Wine's X11 driver when DISPLAY names a reachable X server (the
  window and the tray icon show); otherwise the null driver, under which
  the program serves DDE and the feed but nothing is drawn.

Talk to it from a second terminal, with the same prefix:
  export WINEPREFIX=$WINEPREFIX WINEDEBUG=-all
  wine build/windows/ddewatch.exe 1234.lastprice
      (an advise loop on service Quellvarden, topic Quote, as a spreadsheet
       cell would hold; --help lists the options)
  wine build/windows/rtdwatch.exe 1234.lastprice
      (an RTD topic on server Quellvarden.Quote, as Excel's =RTD() holds)
EOF
}

mode=demo
case "${1:-}" in
    -h|--help) usage; exit 0 ;;
    --bridge) mode=bridge ;;
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

# The Wine processes run in sessions of their own, so that the terminal's
# Ctrl-C does not end them abruptly; this script's trap stops each as
# another program would: ddewatch with a Ctrl-C of its own, the Python
# helpers with SIGTERM, the program with WM_CLOSE (0x10).
setsid wine build/windows/vantrel.exe </dev/null &
pid=$!
helpers=()
watch_pid=""
status_pid=""
time_pid=""
rtd_pid=""

# A probe asks for no item, so nothing of it reaches the status lines.
serves_dde() {
    wine_quiet timeout 20 wine build/windows/ddewatch.exe --probe
}

running() {
    [ -n "$1" ] && kill -0 "$1" 2>/dev/null
}

# Waits up to $2 seconds for process $1 to end.
wait_gone() {
    local i
    for ((i = 0; i < $2 * 5; i++)); do
        running "$1" || return 0
        sleep 0.2
    done
    return 1
}

# shellcheck disable=SC2317  # called from the traps below
stop_all() {
    local p
    for p in "$watch_pid" "$status_pid" "$time_pid" "$rtd_pid"; do
        if running "$p"; then
            kill -INT "$p" 2>/dev/null || true
            wait_gone "$p" 5 || true
        fi
    done
    for p in "${helpers[@]}"; do
        kill -TERM "$p" 2>/dev/null || true
    done
    for p in "${helpers[@]}"; do
        wait "$p" 2>/dev/null || true
    done
    helpers=()
    if running "$pid"; then
        echo "run: closing vantrel.exe"
        wine_quiet timeout 10 wine build/windows/winctl.exe post --class VANTREL 0x10 || true
        wait_gone "$pid" "$CLOSE_LIMIT" \
            || echo "run: vantrel.exe did not close; stopping the Wine server" >&2
    fi
    # Ends whatever Wine process is left.
    wine_server_stop
}

# Windows merges HKCU\Software\Classes, where the program registers its RTD
# server for the user, into HKEY_CLASSES_ROOT; Wine's COM reads classes only
# from HKLM\Software\Classes. So the demo copies the keys the program wrote
# there, in its own prefix; the program itself never writes HKLM.
copy_rtd_classes_to_hklm() {
    local key exported
    exported=$(mktemp --suffix=.reg)
    for key in "${RTD_CLASS_KEYS[@]}"; do
        if wine_quiet "$WINE64" reg export "$key" "Z:${exported//\//\\}" /y; then
            iconv -f UTF-16 -t UTF-8 "$exported" | sed 's/^\[HKEY_CURRENT_USER\\/[HKEY_LOCAL_MACHINE\\/' \
                >"$exported.hklm"
            wine_quiet "$WINE64" reg import "Z:${exported//\//\\}.hklm" || true
        fi
    done
    rm -f "$exported" "$exported.hklm"
}

# Stops everything, reports the program's exit code and ends the script,
# with that code or the one given; also from a signal, wherever the script
# then is.
# shellcheck disable=SC2317
finish() {
    stop_all
    local rc=0
    wait "$pid" 2>/dev/null || rc=$?
    echo "run: vantrel.exe ended with exit code $rc"
    exit "${1:-$rc}"
}
trap finish INT TERM

for ((i = 0; i < START_LIMIT; i++)); do
    if serves_dde || ! running "$pid"; then
        break
    fi
    sleep 1
done
if ! running "$pid" || ! serves_dde; then
    echo "run: vantrel.exe does not serve DDE (is 127.0.0.1:8902 taken by another copy?)" >&2
    finish 1
fi

/usr/bin/python3 tools/console_server.py </dev/null &
helpers+=($!)
if [ "$mode" = demo ]; then
    echo "run: vantrel.exe serves DDE (service Quellvarden, topic Quote) and RTD" \
        "(Quellvarden.Quote); the feed simulator plays its feed, ddewatch links" \
        "${#DEMO_ITEMS[@]} cells and rtdwatch ${#DEMO_ITEMS[@]} RTD topics, each printing" \
        "\"time item value\" for every value that reaches one (rtdwatch's lines start" \
        "with \"rtd\"); beside them Status!feed, Status!clock and Time!$DEMO_TIME_ITEM" \
        "through both. The simulator goes away for 5 s every minute. Ctrl-C stops all."
    /usr/bin/python3 tools/feed_sim.py --rate "$DEMO_RATE" --outages </dev/null &
    helpers+=($!)
    # Through a pipe: written to a terminal, Wine's console would put out
    # ddewatch's lines a character at a time, mixed with the simulator's.
    setsid wine build/windows/ddewatch.exe "${DEMO_ITEMS[@]}" </dev/null > >(cat) &
    watch_pid=$!
    # Times in text, as a cell formatted as text shows them; the topic goes
    # before the item ("16:09:29.199 Status!feed Connected").
    setsid wine build/windows/ddewatch.exe --topic Status --format text "${DEMO_STATUS_ITEMS[@]}" \
        </dev/null > >(sed -u 's/ / Status!/') &
    status_pid=$!
    setsid wine build/windows/ddewatch.exe --topic Time --format text "$DEMO_TIME_ITEM" \
        </dev/null > >(sed -u 's/ / Time!/') &
    time_pid=$!
    copy_rtd_classes_to_hklm
    # RTD cells get times as Excel's serial day numbers.
    setsid wine build/windows/rtdwatch.exe --throttle "$DEMO_THROTTLE" "${DEMO_ITEMS[@]}" \
        "${DEMO_STATUS_ITEMS[@]/#/Status,}" "Time,$DEMO_TIME_ITEM" </dev/null \
        > >(sed -u 's/^/rtd /') &
    rtd_pid=$!
else
    echo "run: vantrel.exe serves DDE (service Quellvarden, topic Quote) and waits for a" \
        "feed client on ws://127.0.0.1:8902/. Ctrl-C stops it."
fi

# Until the program ends, by itself (File > Exit) or through a signal's trap.
wait "$pid" || true
finish
