#!/usr/bin/env bash
# Configures and builds with the CMake presets:
#   windows  MinGW-w64 cross build: build/windows/{vantrel,ddewatch,winctl}.exe,
#            and the 32-bit tools (windows32): build/windows32/rtdwatch32.exe
#   native   Linux unit tests against the stand-in layer, under ASan and UBSan
#   fuzz     libFuzzer targets against the stand-in layer (clang), build/fuzz/*_fuzz
#   all      windows and native (the default)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

case "${1:-all}" in
    windows) presets=(windows windows32) ;;
    native|fuzz) presets=("$1") ;;
    all) presets=(windows windows32 native) ;;
    -h|--help)
        sed -n '2,7s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
        exit 0
        ;;
    *)
        echo "usage: scripts/build.sh [windows|native|fuzz|all]" >&2
        exit 64
        ;;
esac

jobs=$(nproc 2>/dev/null || echo 2)
for preset in "${presets[@]}"; do
    echo "== build: $preset"
    cmake --preset "$preset" --log-level=WARNING
    cmake --build --preset "$preset" --parallel "$jobs"
done
