#!/usr/bin/env bash
# Installs, with apt-get, whatever a fresh Debian machine lacks to build and test dorvex.
# Does nothing for packages that are already there; needs root only when something is missing.
set -euo pipefail
pkgs=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
      dosfstools mtools fdisk sleuthkit exfatprogs exfat-fuse ntfs-3g xorriso xz-utils python3 pkg-config
      libfuse3-dev fuse3 fatcat)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
