#!/usr/bin/env bash
# The benchmark command: installs what the benchmark needs beyond the test
# command's packages (matplotlib for the chart, Node's ws for the feed
# client, into bench/feed/node_modules), builds the Windows executables and
# measures vantrel.exe against the platform's ceiling under Wine. Never part
# of scripts/test.sh. Port 8902 must be free.
#
#   scripts/bench.sh                       every size, 3 runs: bench/RESULTS.md, bench/throughput.png
#   scripts/bench.sh --sizes 1 100 --runs 1 --output build/bench-quick
#   scripts/bench.sh --prepare             install and build only (for a later
#                                          run without network access)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

case "${1:-}" in
    -h|--help)
        sed -n '2,11s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
        exec /usr/bin/python3 bench/ceiling_bench.py --help
        ;;
esac

bash scripts/install-deps.sh
# Node and npm only when no node is there at all: a newer Node installed
# another way already brings its own npm.
missing=()
[ "$(dpkg-query -W -f='${db:Status-Status}' python3-matplotlib 2>/dev/null)" = installed ] \
    || missing+=(python3-matplotlib)
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
    echo "bench: installing ${missing[*]}"
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo -n)
    apt_opts=(-y -q -o DPkg::Lock::Timeout=600)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${apt_opts[@]}" update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get "${apt_opts[@]}" install --no-install-recommends "${missing[@]}"
fi
if [ ! -f bench/feed/node_modules/ws/package.json ]; then
    (cd bench/feed && npm ci --no-audit --no-fund)
fi
bash scripts/build.sh windows
if [ "${1:-}" = --prepare ]; then
    exit 0
fi
exec /usr/bin/python3 bench/ceiling_bench.py "$@"
