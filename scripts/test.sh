#!/usr/bin/env bash
# The test command: installs what is missing, builds both presets and the
# release packages, runs the native unit tests (ctest), the Python unit tests
# of the tools and the benchmark's report, replays every fuzz target's seed
# corpus and fuzzes each for a few seconds (scripts/fuzz.sh), runs the
# end-to-end tests under Wine (pytest), prints a summary and exits non-zero
# when anything failed.
# shellcheck disable=SC2317  # functions called through step and trap
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1

# shellcheck source=scripts/wine-env.sh
. scripts/wine-env.sh
ARTIFACTS=build/artifacts

summary=()
failed=0
started=$SECONDS

# step NAME COMMAND...: runs one step and records its outcome.
step() {
    local name=$1 t0=$SECONDS rc=0
    shift
    echo
    echo "==== $name"
    "$@" || rc=$?
    local took=$((SECONDS - t0))
    if [ "$rc" -eq 0 ]; then
        summary+=("PASS  $name (${took}s)")
    else
        summary+=("FAIL  $name: exit code $rc (${took}s)")
        failed=1
    fi
    return "$rc"
}

skip() {
    summary+=("SKIP  $1: $2")
    failed=1
}

print_summary() {
    echo
    echo "==== summary ($((SECONDS - started))s)"
    printf '  %s\n' "${summary[@]}"
    if [ "$failed" -ne 0 ]; then
        echo "  RESULT: FAILED (logs of the end-to-end tests: $ARTIFACTS/e2e/)"
    else
        echo "  RESULT: all passed"
    fi
}

# pytest answers 5 when it collected no tests: that is a failure here too.
run_pytest() {
    local rc=0
    /usr/bin/python3 -m pytest "$@" -v || rc=$?
    if [ "$rc" -eq 5 ]; then
        echo "test: pytest collected no tests in $*" >&2
    fi
    return "$rc"
}

# However pytest ends, leave no Wine server of the tests behind.
stop_e2e_wine() {
    local role
    for role in "${WINE_TEST_ROLES[@]}"; do
        if [ -d "$(wine_prefix_path "$role")" ]; then
            bash scripts/wine-prefix.sh stop "$role" || true
        fi
    done
}
trap stop_e2e_wine EXIT

if ! step "install dependencies" bash scripts/install-deps.sh; then
    print_summary
    exit 1
fi

step "layers (scripts/check-layers.py)" /usr/bin/python3 scripts/check-layers.py

windows_ok=0
native_ok=0
step "build windows" bash scripts/build.sh windows && windows_ok=1
step "build native" bash scripts/build.sh native && native_ok=1

# The release packages, once: the end-to-end tests install the MSI.
if [ "$windows_ok" -eq 1 ]; then
    step "package (scripts/package.sh)" bash scripts/package.sh
else
    skip "package" "the windows build failed"
fi

if [ "$native_ok" -eq 1 ]; then
    step "unit tests (ctest --preset native)" \
        ctest --preset native --no-tests=error --parallel "$(nproc 2>/dev/null || echo 2)"
else
    skip "unit tests" "the native build failed"
fi
step "Python unit tests (pytest tests/tools tests/bench)" run_pytest tests/tools tests/bench

# Builds the fuzz preset itself; fails on any crash or broken invariant.
step "fuzz targets: seed corpora replayed, 5 s each (scripts/fuzz.sh 5)" bash scripts/fuzz.sh 5

# Node's ws, for the end-to-end feed at scale: from bench/feed's lock file,
# once (the benchmark uses the same).
if command -v npm >/dev/null && [ ! -f bench/feed/node_modules/ws/package.json ]; then
    step "Node's ws (npm ci in bench/feed)" bash -c 'cd bench/feed && npm ci --no-audit --no-fund'
fi

if [ "$windows_ok" -eq 1 ]; then
    step "end-to-end tests (pytest tests/e2e)" run_pytest tests/e2e
else
    skip "end-to-end tests" "the windows build failed"
fi

print_summary
exit "$failed"
