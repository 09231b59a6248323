#!/usr/bin/env bash
# Makes the images the exFAT benchmarks read, each set as an exFAT image (mkfs.exfat, filled
# through exfat-fuse on a loop device) and, where the benchmark compares, the same files on
# FAT32 (dorvex mkimage), from the same seeded source trees. Images already in OUTDIR are kept,
# so reruns cost nothing.
#
#   tools/make_exfat_bench_images.sh OUTDIR DORVEX [SET...]
#
# DORVEX: the dorvex tool (for the FAT32 twins). SET (default: all of them):
#   read    exfat-read.img / fat32-read.img: one 256 MiB file of seeded random bytes,
#           /big.bin, on 32 KiB clusters (FAT32: 4 KiB, as FAT32 needs 65,525 clusters and
#           32 KiB ones would make a 2 GiB image)
#   tree    exfat-tree.img / fat32-tree.img: 10 x 10 directories x 100 empty files (10,000),
#           the names of bench_readfat's lookup tree (some German, some Cyrillic), 4 KiB clusters
#   list    exfat-list.img / fat32-list.img: /big holding 20,000 empty files with 26-unit
#           names (every tenth with an e-acute; three entries each on FAT32, within its
#           65,536 a directory; four on exFAT), 4 KiB clusters
#   camera  exfat-camera.img: a camera card, /DCIM/100CANON/IMG_0001.JPG .. IMG_1000.JPG of
#           64-384 KiB each (about 220 MiB), 32 KiB clusters
# Needs root (loop devices, FUSE), exfatprogs, exfat-fuse and python3 (tools/deps.sh).
set -euo pipefail

out=${1:?usage: $0 OUTDIR DORVEX [SET...]}
dorvex=${2:?usage: $0 OUTDIR DORVEX [SET...]}
shift 2
sets=("$@")
((${#sets[@]})) || sets=(read tree list camera)
for t in mkfs.exfat mount.exfat-fuse losetup python3; do
  command -v "$t" >/dev/null || { echo "$0: $t missing (tools/deps.sh installs it)" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "$0: needs root (loop devices, FUSE)" >&2; exit 1; }
[ -x "$dorvex" ] || { echo "$0: no dorvex tool at $dorvex" >&2; exit 1; }
dorvex=$(realpath "$dorvex")
mkdir -p "$out"
out=$(cd "$out" && pwd)
mnt=$(mktemp -d)
loop=""
cleanup() {
  if mountpoint -q "$mnt"; then umount "$mnt" || true; fi
  if [ -n "$loop" ]; then losetup -d "$loop" || true; fi
  rmdir "$mnt"
}
trap cleanup EXIT
export TZ=UTC LC_ALL=C.UTF-8
cd "$out"

# Seeded sources (kept: the FAT32 twin and a rerun see the same bytes). src_big matches
# bench/compare.sh's, so one work dir serves both.
python3 - "${sets[@]}" <<'EOF'
import os, random, sys
sets = set(sys.argv[1:])
if "read" in sets and not os.path.exists("src_big/big.bin"):
    r = random.Random(7)
    os.makedirs("src_big", exist_ok=True)
    with open("src_big/big.bin.part", "wb") as f:
        for _ in range(256):
            f.write(r.randbytes(1 << 20))
    os.rename("src_big/big.bin.part", "src_big/big.bin")
if "tree" in sets and not os.path.exists("src_tree10k.done"):
    dname = lambda i: ("Ordner %02d für Dinge" if i % 10 == 3 else "folder %02d of things") % i
    fname = lambda i: ("файл %05d.dat" if i % 10 == 7 else "document %05d.dat") % i
    for a in range(10):
        for b in range(10):
            d = os.path.join("src_tree10k", dname(a), dname(b))
            os.makedirs(d, exist_ok=True)
            for c in range(100):
                open(os.path.join(d, fname((a * 10 + b) * 100 + c)), "wb").close()
    open("src_tree10k.done", "wb").close()
if "list" in sets and not os.path.exists("src_list20k.done"):
    os.makedirs("src_list20k/big", exist_ok=True)
    for i in range(20000):
        name = "%s notes %05d fin.txt" % ("résumé" if i % 10 == 0 else "resume", i)
        open(os.path.join("src_list20k/big", name), "wb").close()
    open("src_list20k.done", "wb").close()
if "camera" in sets and not os.path.exists("src_camera.done"):
    r = random.Random(11)
    d = "src_camera/DCIM/100CANON"
    os.makedirs(d, exist_ok=True)
    for i in range(1, 1001):
        with open(os.path.join(d, "IMG_%04d.JPG" % i), "wb") as f:
            f.write(b"\xff\xd8\xff\xe1" + r.randbytes(r.randint(64, 384) * 1024 - 4))
    open("src_camera.done", "wb").close()
EOF

# exfat IMAGE SIZE CLUSTER LABEL SRC: formats, then copies SRC's contents through the driver.
exfat() {
  local img=$1 size=$2 cluster=$3 label=$4 src=$5
  [ -f "$img" ] && return
  echo "making $img"
  rm -f "$img.part"
  truncate -s "$size" "$img.part"
  loop=$(losetup -f --show -b 512 "$img.part")
  mkfs.exfat -c "$cluster" -L "$label" "$loop" >/dev/null
  mount.exfat-fuse -o noatime "$loop" "$mnt" >/dev/null
  # Sorted, so files land in name order, as a camera writes them.
  python3 - "$src" "$mnt" <<'PY'
import os, shutil, sys
src, dst = sys.argv[1:]
for root, dirs, files in os.walk(src):
    dirs.sort()
    rel = os.path.relpath(root, src)
    for d in dirs:
        os.mkdir(os.path.join(dst, rel, d))
    for f in sorted(files):
        shutil.copyfile(os.path.join(root, f), os.path.join(dst, rel, f))
PY
  sync
  umount "$mnt"
  losetup -d "$loop"
  loop=""
  mv "$img.part" "$img"
}

fat32() { # IMAGE CLUSTER SRC
  [ -f "$1" ] && return
  echo "making $1"
  "$dorvex" mkimage --force --quiet --fat 32 --cluster-size "$2" "$3" "$1.part" >/dev/null
  mv "$1.part" "$1"
}

for s in "${sets[@]}"; do
  case $s in
    read) exfat exfat-read.img 288M 32K READ src_big; fat32 fat32-read.img 4096 src_big ;;
    tree) exfat exfat-tree.img 64M 4K TREE src_tree10k; fat32 fat32-tree.img 4096 src_tree10k ;;
    list) exfat exfat-list.img 64M 4K LIST src_list20k; fat32 fat32-list.img 4096 src_list20k ;;
    camera) exfat exfat-camera.img 288M 32K EOS_DIGITAL src_camera ;;
    *) echo "$0: unknown set $s (read, tree, list, camera)" >&2; exit 2 ;;
  esac
done
