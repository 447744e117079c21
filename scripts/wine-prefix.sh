#!/usr/bin/env bash
# Command-line face of wine-env.sh, for callers that cannot source it (the
# end-to-end tests' and the benchmarks' Python harness).
set -euo pipefail

usage() {
    cat <<'EOF2'
usage: scripts/wine-prefix.sh create ROLE [null|x11]
       scripts/wine-prefix.sh start  ROLE [null|x11]
       scripts/wine-prefix.sh stop   ROLE
       scripts/wine-prefix.sh env    ROLE

ROLE is one of the project's prefixes: run, e2e, x11 or bench (build/wineprefix-ROLE).

create  makes the Wine prefix when it does not exist and sets its graphics
        driver (default: x11 when DISPLAY is set, otherwise null)
start   create, then start a persistent wineserver and Wine's helpers
stop    end every Wine process of the prefix and its wineserver
env     print the environment every Wine call needs, one NAME=VALUE a line
EOF2
}

if [ $# -lt 2 ]; then
    usage >&2
    exit 64
fi
command=$1

# shellcheck source=scripts/wine-env.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

WINEPREFIX=$(wine_prefix_path "$2") || exit 64
export WINEPREFIX
driver=${3:-}
if [ -z "$driver" ]; then
    if [ -n "${DISPLAY:-}" ]; then driver=x11; else driver=null; fi
fi

case "$command" in
    create)
        wine_prefix_create
        wine_prefix_set_driver "$driver"
        ;;
    start)
        wine_prefix_create
        wine_prefix_set_driver "$driver"
        wine_server_start
        ;;
    stop)
        wine_server_stop
        ;;
    env)
        printf 'WINEPREFIX=%s\nWINEDEBUG=%s\nWINEDLLOVERRIDES=%s\n' \
            "$WINEPREFIX" "$WINEDEBUG" "$WINEDLLOVERRIDES"
        ;;
    *)
        usage >&2
        exit 64
        ;;
esac
