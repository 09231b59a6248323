#!/usr/bin/env bash
# Builds dorvex, makes a FAT32 image from examples/sample with `dorvex mkimage`
# and shows `dorvex info`, `dorvex tree` and `dorvex cat` on it.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs" --target dorvex-cli >/dev/null
dorvex=build/release/cli/dorvex
img=build/release/sample.img

run() {
    printf '\n$ %s\n' "$*"
    "$@"
}

run "$dorvex" mkimage --force --label SAMPLE examples/sample "$img"
run "$dorvex" info "$img"
run "$dorvex" tree "$img"
run "$dorvex" cat "$img" /README.txt
run "$dorvex" cat "$img" "/photos/été à paris/notes — voyage.txt"
