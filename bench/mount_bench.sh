#!/usr/bin/env bash
# `dorvex mount` beside the tool's own commands and beside fusefat (an independent FUSE
# driver for FAT, Debian's fusefat, run as a peer), on FAT32 images made by mkfs.fat:
#
#   (a) cat of a SIZE MiB file (default 256) through the mount vs `dorvex cat`, both into a
#       pipe (`| cat >/dev/null`) with the image in the page cache. "mount, cold" remounts
#       before each run (every byte goes through the daemon); "mount, warm" reads what the
#       kernel kept of the mount's earlier reads; "host file" is the same cat of a plain
#       file in the page cache: what cat gets from any file system. `dorvex cat` hands the
#       pipe the image's pages (sendfile), cat(1) copies through a 128 KiB buffer (read,
#       write): no file system read by cat(1) reaches dorvex cat, and "host file" is the
#       ceiling of a mount; its share is printed too.
#   (b) ls -l of a 20,000-entry directory through a fresh mount vs `dorvex ls -l`.
#   (c) cp -r of a 1,000-file card tree (10 folders of photos, 4-64 KiB) into a fresh
#       `-o rw` mount, unmount included, vs `dorvex put` of it; fsck.fat -n after. "host
#       cp -r" copies the tree into a directory of the host file system the image is on.
#   (d) fusefat on the same images: (a) and ls -lR of the card tree.
#
#   bash bench/mount_bench.sh [DORVEX] [RUNS] [SIZE]
#
# Needs hyperfine, mkfs.fat, mcopy, fsck.fat and FUSE; fusefat is installed with apt-get
# when missing and the script runs as root (else (d) is left out). Prints hyperfine's
# tables, then the ratios against the targets: (a) >= 80% of dorvex cat's throughput,
# (b) and (c) <= 2x.
set -euo pipefail
export MTOOLS_SKIP_CHECK=1
here=$(cd "$(dirname "$0")/.." && pwd)
dorvex=$(realpath "${1:-$here/build/dev/cli/dorvex}")
runs=${2:-10}
size=${3:-256}
work=$(mktemp -d)
mnt=$work/mnt
ff=$work/ff
cleanup() {
    fusermount3 -u "$mnt" 2>/dev/null || true
    fusermount -u "$ff" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir "$mnt" "$ff"

if ! command -v fusefat >/dev/null && [ "$(id -u)" = 0 ]; then
    apt-get install -y fusefat >/dev/null 2>&1 || true
fi
have_fusefat=$(command -v fusefat >/dev/null && echo 1 || echo 0)

# ---- images ----
truncate -s $((size + 64))M "$work/big.img"
mkfs.fat -F 32 "$work/big.img" >/dev/null
head -c "${size}M" /dev/urandom >"$work/f.bin"
mcopy -i "$work/big.img" "$work/f.bin" ::/f.bin

mkdir -p "$work/many/D"
python3 - "$work/many/D" <<'PY'
import os, sys
for i in range(20000):
    open(os.path.join(sys.argv[1], "photo_%05d.jpg" % i), "w").write("x")
PY
# mcopy takes minutes for 20,000 names in one directory; the tool's mkimage seconds.
"$dorvex" mkimage -q "$work/many" "$work/dir.img"

python3 - "$work/card" <<'PY'
import os, random, sys
r = random.Random(1)
for d in range(10):
    p = os.path.join(sys.argv[1], "DCIM", "%03dCANON" % (100 + d))
    os.makedirs(p)
    for i in range(100):
        open(os.path.join(p, "IMG_%04d.JPG" % (d * 100 + i)), "wb").write(
            r.randbytes(r.randint(4096, 65536)))
PY
truncate -s 256M "$work/empty.img"
mkfs.fat -F 32 "$work/empty.img" >/dev/null
cp "$work/empty.img" "$work/card.img"
mcopy -s -i "$work/card.img" "$work/card/DCIM" ::/

cat "$work/big.img" "$work/f.bin" >/dev/null # in the page cache for every side
D=$dorvex
remount() { echo "fusermount3 -u $mnt 2>/dev/null; $D mount $* $mnt"; }
reff() { echo "fusermount -u $ff 2>/dev/null; fusefat -o ro $1 $ff"; }
json=()
bench() { # NAME, then pairs of (label, prepare, command)
    local name=$1
    shift
    local args=()
    while [ $# -gt 0 ]; do
        args+=(-n "$1" -p "$2" "$3")
        shift 3
    done
    hyperfine -w 1 -r "$runs" --export-json "$work/$name.json" "${args[@]}"
    json+=("$work/$name.json")
}

# ---- (a) read ----
a=(
    "dorvex cat" "true" "$D cat $work/big.img /f.bin | cat >/dev/null"
    "mount, cold" "$(remount "$work/big.img")" "cat $mnt/f.bin | cat >/dev/null"
    "mount, warm" "$(remount "$work/big.img"); cat $mnt/f.bin >/dev/null"
    "cat $mnt/f.bin | cat >/dev/null"
    "host file" "true" "cat $work/f.bin | cat >/dev/null"
)
[ "$have_fusefat" = 1 ] && a+=("fusefat" "$(reff "$work/big.img")" "cat $ff/f.bin | cat >/dev/null")
bench read "${a[@]}"

# ---- (b) ls -l of 20,000 entries ----
bench list "dorvex ls -l" "true" "$D ls -l $work/dir.img /D >/dev/null" \
    "mount ls -l" "$(remount "$work/dir.img")" "ls -l $mnt/D >/dev/null" \
    "host ls -l" "true" "ls -l $work/many/D >/dev/null"

# ---- (c) cp -r of a card tree ----
bench copy "dorvex put" "cp $work/empty.img $work/c.img" "$D put -q $work/c.img $work/card/DCIM /" \
    "mount -o rw, cp -r" "cp $work/empty.img $work/c.img; $(remount -o rw "$work/c.img")" \
    "cp -r $work/card/DCIM $mnt/ && $D umount $mnt" \
    "host cp -r" "rm -rf $work/hostcp" "cp -r $work/card/DCIM $work/hostcp"
# Clean: fsck.fat's banner and summary, nothing between.
fsck.fat -n "$work/c.img" >"$work/fsck.txt" 2>&1 && [ "$(grep -c . "$work/fsck.txt")" = 2 ] &&
    echo "fsck.fat -n after the last cp -r: clean" ||
    { echo "fsck.fat -n after the last cp -r: NOT CLEAN"; cat "$work/fsck.txt"; }
"$D" get -q "$work/c.img" / "$work/back"
diff -r "$work/card/DCIM" "$work/back/DCIM" >/dev/null && echo "read back: equal" || echo "read back: DIFFERENT"

# ---- (d) ls -lR of the card tree ----
d=(
    "dorvex ls -lR" "true" "$D ls -l -R $work/card.img / >/dev/null"
    "mount ls -lR" "$(remount "$work/card.img")" "ls -lR $mnt >/dev/null"
)
[ "$have_fusefat" = 1 ] && d+=("fusefat ls -lR" "$(reff "$work/card.img")" "ls -lR $ff >/dev/null")
bench tree "${d[@]}"
fusermount3 -u "$mnt" 2>/dev/null || true
fusermount -u "$ff" 2>/dev/null || true

python3 - "$size" "${json[@]}" <<'PY'
import json, sys
size = int(sys.argv[1])
m = {}
for f in sys.argv[2:]:
    for r in json.load(open(f))["results"]:
        m[r["command"]] = r["median"]
print()
for k, v in m.items():
    print(f"{k:22} median {v:.3f} s")
c = m["dorvex cat"]
for k in ("mount, cold", "mount, warm", "host file", "fusefat"):
    if k in m:
        print(f"(a) {k}: {size / m[k]:.0f} MiB/s, {c / m[k] * 100:.0f}% of dorvex cat's "
              f"{size / c:.0f} MiB/s (target >= 80%), {m['host file'] / m[k] * 100:.0f}% of "
              f"cat of a host file")
print(f"(b) mount ls -l: {m['mount ls -l'] / m['dorvex ls -l']:.2f}x dorvex ls -l (target <= 2x); "
      f"ls -l of the same directory on the host: {m['host ls -l'] / m['dorvex ls -l']:.2f}x")
print(f"(c) cp -r into the mount: {m['mount -o rw, cp -r'] / m['dorvex put']:.2f}x dorvex put "
      f"(target <= 2x); cp -r into a host directory: {m['host cp -r'] / m['dorvex put']:.2f}x")
print(f"(d) mount ls -lR: {m['mount ls -lR'] / m['dorvex ls -lR']:.2f}x dorvex ls -lR", end="")
if "fusefat ls -lR" in m:
    print(f"; fusefat ls -lR: {m['fusefat ls -lR'] / m['dorvex ls -lR']:.2f}x; fusefat reads at "
          f"{size / m['fusefat']:.0f} MiB/s")
else:
    print("; fusefat not installed")
PY
