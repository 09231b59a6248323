#!/usr/bin/env bash
# Installs dorvex into a scratch prefix and builds two consumers against it: one through
# find_package (and pkg-config), one through add_subdirectory.
set -euo pipefail
src=$1 bin=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$bin" --prefix "$work/prefix" >/dev/null
cmake -S "$src/tests/package/consumer" -B "$work/find" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/find" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib64:${LD_LIBRARY_PATH:-}" "$work/find/consumer"
if command -v pkg-config >/dev/null; then
  PKG_CONFIG_PATH=$(dirname "$(find "$work/prefix" -name dorvex.pc)") pkg-config --exact-version=0.3.27 dorvex
fi
cmake -S "$src/tests/package/consumer" -B "$work/sub" -DDORVEX_SOURCE="$src" >/dev/null
cmake --build "$work/sub" >/dev/null
"$work/sub/consumer"
echo "package consumers built and ran"
