#!/usr/bin/env bash
# Makes the exFAT fixture images in OUTDIR: formatted by mkfs.exfat, filled through
# exfat-fuse, then read by The Sleuth Kit and fsck.exfat. The outputs sit beside each
# image so the library's tests compare against them without FUSE.
#
#   tools/make_exfat_fixtures.sh OUTDIR
#
# Needs root (loop devices, FUSE), exfatprogs, exfat-fuse, sleuthkit, xz, python3.
# exfat-fuse run as root refuses a plain file ("Block device required"), so every
# image goes through losetup; the loop device's block size sets the sector size that
# mkfs.exfat picks (this mkfs.exfat has no sector-size option).
set -euo pipefail

out=${1:?usage: $0 OUTDIR}
for t in mkfs.exfat fsck.exfat mount.exfat-fuse losetup fls istat fsstat xz python3; do
  command -v "$t" >/dev/null || { echo "$0: $t missing (tools/deps.sh installs it)" >&2; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "$0: needs root (loop devices, FUSE)" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
helper="$here/exfat_fixtures.py"
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
mnt="$work/mnt"
mkdir -p "$mnt"
loop=""

cleanup() {
  if mountpoint -q "$mnt"; then umount "$mnt" || true; fi
  if [ -n "$loop" ]; then losetup -d "$loop" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The driver stamps local time; UTC keeps runs comparable (the times image also
# mounts once in Tokyo to record the offset it writes).
export TZ=UTC LC_ALL=C.UTF-8

mount_img() { # IMAGE SECTOR [TZ]
  loop=$(losetup -f --show -b "$2" "$1")
  # noatime: hashing the files for the manifest must not make the driver rewrite
  # their entries (it re-encodes every stamp of a dirtied entry in its own zone).
  TZ=${3:-UTC} mount.exfat-fuse -o noatime "$loop" "$mnt" >/dev/null
}

unmount_img() {
  sync
  umount "$mnt"
  losetup -d "$loop"
  loop=""
}

# make NAME SIZE CLUSTER SECTOR LABEL SCENARIO...
# A scenario written as TZNAME:scenario runs on a mount whose driver lives in TZNAME.
make() {
  local name=$1 size=$2 cluster=$3 sector=$4 label=$5
  shift 5
  local img="$work/$name.img"
  truncate -s "$size" "$img"
  loop=$(losetup -f --show -b "$sector" "$img")
  mkfs.exfat -c "$cluster" -L "$label" "$loop" >/dev/null
  losetup -d "$loop"
  loop=""
  rm -f "$out/$name.manifest.json"
  for s in "$@"; do
    local tz=UTC
    if [[ $s == *:* ]]; then tz=${s%%:*}; s=${s#*:}; fi
    mount_img "$img" "$sector" "$tz"
    python3 "$helper" fill "$s" "$mnt" "$out/$name.manifest.json"
    unmount_img
  done
  oracles "$img" "$name"
  xz -9e -T1 -c "$img" > "$out/$name.img.xz"
  echo "$name: $(stat -c %s "$out/$name.img.xz") bytes compressed ($size raw)"
}

# Oracle outputs. fsck.exfat exits non-zero on a damaged volume; its words are kept.
oracles() {
  local img=$1 name=$2
  fls -r -p -m / "$img" > "$out/$name.fls.body"
  fls -r -d -p "$img" > "$out/$name.fls-deleted.txt"
  fsstat "$img" > "$out/$name.fsstat.txt"
  { (cd "$work" && fsck.exfat -n "$name.img" 2>&1); echo "exit $?"; } > "$out/$name.fsck.txt" || true
  python3 "$helper" rawdump "$img" > "$out/$name.raw.txt"
  # istat of every regular live file (a handful per image; bigdir: only those with data)
  : > "$out/$name.istat.txt"
  fls -r -p "$img" | awk -F'\t' '/^r\/r [0-9]+:/ && $2 !~ /^\$|Volume Label/ {
      split($1, a, /[ :]/); print a[2] "\t" $2 }' |
    while IFS=$'\t' read -r inode path; do
      if [ "$name" = bigdir ] && [[ $path != *with_data* ]]; then continue; fi
      { echo "=== $inode $path"; istat "$img" "$inode"; echo; } >> "$out/$name.istat.txt"
    done
}

{
  echo "mkfs.exfat: $(mkfs.exfat -V 2>&1 | head -1)"
  echo "exfat-fuse: $(dpkg-query -W -f='${Version}' exfat-fuse)"
  echo "exfatprogs: $(dpkg-query -W -f='${Version}' exfatprogs)"
  echo "sleuthkit: $(fls -V)"
  echo "xz: $(xz --version | head -1)"
  echo "python3: $(python3 --version)"
} > "$out/VERSIONS.txt"

#    name       size  cluster sector label         scenarios
make camera     4M    4K      512    EOS_DIGITAL   camera
make fragmented 4M    32K     512    FRAG          fragmented
make deleted    8M    128K    4096   DELETED       deleted
make bigdir     4M    4K      512    BIGDIR        bigdir
make times      4M    4K      4096   TIMES         times Asia/Tokyo:times_tokyo America/New_York:times_newyork
make vdl        4M    32K     512    VDL           vdl
