#!/usr/bin/env bash
# Appending to a file on a FAT32 image file beside cp: 256 MiB in 64 KiB writes with
# writefat_open_file(WRITEFAT_CREATE | WRITEFAT_APPEND) through a pwrite writer (bench_logger
# append), and cp of the same bytes to a file in the same host directory. Each run starts
# from a fresh image (mkfs.fat, not timed). Prints hyperfine's summary and the ratio.
#
#   bash bench/append_vs_cp.sh [BENCH_LOGGER] [RUNS]
#
# BENCH_LOGGER: default build/bench/bench/bench_logger (cmake --preset bench && cmake --build
# --preset bench --target bench_logger). RUNS: default 5. WORK=dir keeps the files there
# (default: a temporary folder on the same file system as /tmp, removed at the end).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
tool=$(realpath "${1:-$here/build/bench/bench/bench_logger}")
runs=${2:-5}
work=${WORK:-$(mktemp -d)}
[[ -n ${WORK:-} ]] || trap 'rm -rf "$work"' EXIT
command -v hyperfine >/dev/null || { echo "append_vs_cp.sh: hyperfine is needed" >&2; exit 2; }
mkfs=$(command -v mkfs.fat || echo /sbin/mkfs.fat)
cd "$work"
head -c $((256 << 20)) /dev/urandom >src.bin
hyperfine --runs "$runs" --export-json times.json \
    --prepare "rm -f card.img && $mkfs -F 32 -C card.img $((1 << 20)) >/dev/null" \
    -n append "$tool append card.img 256" \
    --prepare "rm -f copy.bin" \
    -n cp "cp src.bin copy.bin"
python3 - <<'EOF'
import json
r = {x["command"]: x for x in json.load(open("times.json"))["results"]}
a, c = r["append"]["median"], r["cp"]["median"]
print(f"append {a:.3f} s, cp {c:.3f} s (medians): append / cp = {a / c:.2f}x")
EOF
