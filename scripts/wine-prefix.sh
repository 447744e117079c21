#!/usr/bin/env bash
# Command-line face of wine-env.sh, for callers that cannot source it (the
# end-to-end tests' conftest.py).
set -euo pipefail

usage() {
    cat <<'EOF'
usage: scripts/wine-prefix.sh create PREFIX [null|x11]
       scripts/wine-prefix.sh start  PREFIX [null|x11]
       scripts/wine-prefix.sh stop   PREFIX
       scripts/wine-prefix.sh env    PREFIX

create  makes the Wine prefix when it does not exist and sets its graphics
        driver (default: x11 when DISPLAY is set, otherwise null)
start   create, then start a persistent wineserver and Wine's helpers
stop    end every Wine process of the prefix and its wineserver
env     print the environment every Wine call needs, one NAME=VALUE a line
EOF
}

if [ $# -lt 2 ]; then
    usage >&2
    exit 64
fi
command=$1
WINEPREFIX=$(realpath -m "$2")
export WINEPREFIX
driver=${3:-}
if [ -z "$driver" ]; then
    if [ -n "${DISPLAY:-}" ]; then driver=x11; else driver=null; fi
fi

# shellcheck source=scripts/wine-env.sh
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

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
