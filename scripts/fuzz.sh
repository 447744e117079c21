#!/usr/bin/env bash
# The fuzz command: builds the fuzz preset (libFuzzer, clang, ASan, UBSan),
# then for each target replays its committed seed corpus once (-runs=0) and,
# when SECONDS is above 0, fuzzes it for SECONDS (default 600), one target
# after another, each in one process. The run works on a scratch copy of the
# corpus (build/fuzz/corpus/<target>), so the committed seeds never grow by
# themselves. Prints per target the executions and the final cov/ft figures;
# exits non-zero when any replay or run found something.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     targets: tests/fuzz/*_fuzz.cpp
#
# Logs and crashing inputs: build/artifacts/fuzz/. Reproduce a finding with
#   build/fuzz/<target> build/artifacts/fuzz/<target>-crash-...
set -uo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.." || exit 1

case "${1:-}" in
    -h|--help)
        sed -n '2,14s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
        exit 0
        ;;
esac
seconds=${1:-600}
if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
    echo "usage: scripts/fuzz.sh [SECONDS] [TARGET...]" >&2
    exit 64
fi
shift $(($# > 0 ? 1 : 0))
if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for source in tests/fuzz/*_fuzz.cpp; do
        targets+=("$(basename "$source" .cpp)")
    done
fi

bash scripts/build.sh fuzz || exit 1

artifacts=build/artifacts/fuzz
mkdir -p "$artifacts"
failed=0
report=()
findings=()  # the logs of the targets that found something
for target in "${targets[@]}"; do
    binary=build/fuzz/$target
    seeds=tests/fuzz/corpus/$target
    log=$artifacts/$target.log
    if [ ! -x "$binary" ] || [ ! -d "$seeds" ]; then
        report+=("$(printf '%-20s no such target (or no corpus in %s)' "$target" "$seeds")")
        failed=1
        continue
    fi
    # Crashes, leaks and timeouts all end libFuzzer with a non-zero status.
    options=(-timeout=25 -rss_limit_mb=2048 -print_final_stats=1 "-artifact_prefix=$artifacts/$target-")
    if ! "$binary" "${options[@]}" -runs=0 "$seeds" >"$log" 2>&1; then
        report+=("$(printf '%-20s FOUND SOMETHING replaying %s: see %s' "$target" "$seeds" "$log")")
        findings+=("$log")
        failed=1
        continue
    fi
    outcome=replayed
    if [ "$seconds" -gt 0 ]; then
        work=build/fuzz/corpus/$target
        rm -rf "$work" && mkdir -p "$work" && cp "$seeds"/* "$work"/
        echo "fuzz: $target for ${seconds}s"
        if "$binary" "${options[@]}" -max_total_time="$seconds" "$work" >"$log" 2>&1; then
            outcome=ok
        else
            outcome="FOUND SOMETHING: see $log"
            findings+=("$log")
            failed=1
        fi
    fi
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    report+=("$(printf '%-20s %12s %7s %7s  %s' "$target" "${executions:-?}" "${cov:-?}" "${ft:-?}" "$outcome")")
done

echo
printf '%-20s %12s %7s %7s  %s\n' target executions cov ft outcome
printf '%s\n' "${report[@]}"
for log in "${findings[@]}"; do
    echo "$log:" >&2
    grep -m2 -E 'invariant broken|ERROR: |runtime error|Test unit written' "$log" >&2
done
exit "$failed"
