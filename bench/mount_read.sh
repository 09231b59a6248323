#!/usr/bin/env bash
# Read throughput through `dorvex mount` beside `dorvex cat` of the same file: a FAT32
# image made by mkfs.fat holding one file of SIZE MiB (default 256) of random bytes, copied
# in by mcopy. Both read into a pipe (`| cat >/dev/null`), the image in the page cache; the
# volume is mounted afresh before each run, so that every byte comes through the mount, not
# from the kernel's cache of the mounted file (drop_caches would need root, and is refused
# in containers even to root). bench/mount_bench.sh adds the warm mount, fusefat and more.
#
#   bash bench/mount_read.sh [DORVEX] [RUNS] [SIZE]
#
# Prints hyperfine's table when hyperfine is there, else medians of RUNS runs, and the
# mount's share of cat's throughput.
set -euo pipefail
export MTOOLS_SKIP_CHECK=1
here=$(cd "$(dirname "$0")/.." && pwd)
dorvex=$(realpath "${1:-$here/build/dev/cli/dorvex}")
runs=${2:-10}
size=${3:-256}
work=$(mktemp -d)
mnt=$work/mnt
cleanup() { fusermount3 -u "$mnt" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
mkdir "$mnt"
truncate -s $((size + 64))M "$work/img"
mkfs.fat -F 32 "$work/img" >/dev/null
head -c "${size}M" /dev/urandom >"$work/f.bin"
mcopy -i "$work/img" "$work/f.bin" ::/f.bin
rm "$work/f.bin"
cat "$work/img" >/dev/null # the image in the page cache for both
drop="fusermount3 -u $mnt 2>/dev/null; $dorvex mount $work/img $mnt"
a="$dorvex cat $work/img /f.bin | cat >/dev/null"
b="cat $mnt/f.bin | cat >/dev/null"
if command -v hyperfine >/dev/null; then
    hyperfine -N -w 1 -r "$runs" --export-json "$work/h.json" \
        -p "sh -c '$drop; cat $work/img >/dev/null'" -n "dorvex cat" "sh -c '$a'" \
        -n "mount + cat" "sh -c '$b'"
    python3 - "$work/h.json" "$size" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))["results"]
m = {x["command"]: x["median"] for x in r}
size = int(sys.argv[2])
for k, v in m.items():
    print(f"{k}: median {v:.3f} s, {size / v:.0f} MiB/s")
print(f"mount reads at {m['dorvex cat'] / m['mount + cat'] * 100:.0f}% of dorvex cat's throughput")
PY
else
    t() { local best=(); for _ in $(seq "$runs"); do sh -c "$drop"; cat "$work/img" >/dev/null
            s=$(date +%s.%N); sh -c "$1"; e=$(date +%s.%N); best+=("$(echo "$e - $s" | bc)"); done
          printf '%s\n' "${best[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p"; }
    ta=$(t "$a"); tb=$(t "$b")
    echo "dorvex cat: $ta s; mount + cat: $tb s; mount at $(echo "100 * $ta / $tb" | bc)% of cat"
fi
