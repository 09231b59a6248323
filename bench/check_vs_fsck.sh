#!/usr/bin/env bash
# `dorvex check` beside `fsck.fat -n` on a 2 GiB FAT32 image holding 20,000 files of a few
# KiB across 400 directories (made by mkfs.fat, filled by `dorvex put`): the best of 5
# runs of each, their ratio, and the peak memory (maximum resident set) of
# `dorvex check --repair` on a copy of the image. Targets: check at most 0.5x fsck.fat's
# time, repair at most 8 MiB.
#
#   bash bench/check_vs_fsck.sh [DORVEX] [RUNS]
#
# DORVEX: the tool (default build/release/cli/dorvex: cmake --preset release &&
# cmake --build --preset release --target dorvex-cli). RUNS: timed runs (default 5).
# WORK=dir keeps the image there (default: a temporary folder, removed at the end).
set -euo pipefail
export LC_ALL=C
here=$(cd "$(dirname "$0")/.." && pwd)
dorvex=$(realpath "${1:-$here/build/release/cli/dorvex}")
runs=${2:-5}
[[ -x $dorvex ]] || { echo "check_vs_fsck.sh: no dorvex tool at $dorvex" >&2; exit 2; }
PATH=$PATH:/usr/sbin:/sbin
command -v fsck.fat >/dev/null && command -v mkfs.fat >/dev/null ||
    { echo "check_vs_fsck.sh: needs dosfstools (mkfs.fat, fsck.fat)" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "check_vs_fsck.sh: needs /usr/bin/time (package time)" >&2; exit 2; }

work=${WORK:-$(mktemp -d)}
[[ -n ${WORK:-} ]] || trap 'rm -rf "$work"' EXIT
mkdir -p "$work"
img=$work/check.img
if [[ ! -s $img ]]; then
    # The tree: 400 directories of 50 files, 1 .. 8 KiB each, long names.
    python3 - "$work/tree" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(7)
for d in range(400):
    sub = os.path.join(root, "Folder number %03d" % d)
    os.makedirs(sub, exist_ok=True)
    for f in range(50):
        with open(os.path.join(sub, "Document file %04d.bin" % f), "wb") as out:
            out.write(rnd.randbytes(rnd.randint(1024, 8192)))
PY
    rm -f "$img"
    mkfs.fat -C -F 32 "$img" $((2 * 1024 * 1024)) >/dev/null
    "$dorvex" put -q "$img" "$work"/tree/* /
    rm -rf "$work/tree"
fi

# Best of `runs` wall-clock seconds of a command (its output discarded).
best() {
    python3 - "$runs" "$@" <<'PY'
import subprocess, sys, time
runs, cmd = int(sys.argv[1]), sys.argv[2:]
times = []
for _ in range(runs):
    t = time.perf_counter()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    times.append(time.perf_counter() - t)
print("%.4f" % min(times))
PY
}
# One warm-up each, so both read the image from the page cache.
"$dorvex" check "$img" >/dev/null 2>&1 || true
fsck.fat -n "$img" >/dev/null 2>&1 || true
t_dorvex=$(best "$dorvex" check "$img")
t_fsck=$(best fsck.fat -n "$img")
ratio=$(awk -v a="$t_dorvex" -v b="$t_fsck" 'BEGIN { printf "%.2f", a / b }')

cp "$img" "$work/repair.img"
# (check exits with 1 when it found something: the measure stands all the same.)
rss=$( (/usr/bin/time -v "$dorvex" check --repair "$work/repair.img" 2>&1 >/dev/null || true) |
    awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }')

printf '%-28s %8.3f s\n' "dorvex check (best of $runs)" "$t_dorvex"
printf '%-28s %8.3f s\n' "fsck.fat -n (best of $runs)" "$t_fsck"
printf '%-28s %8s x   (target <= 0.50)\n' "ratio" "$ratio"
printf '%-28s %8s KiB (target <= 8192)\n' "dorvex check --repair RSS" "$rss"
