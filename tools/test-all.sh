#!/usr/bin/env bash
# Builds and runs the whole test suite twice: in the default (dev) configuration and under
# AddressSanitizer + UndefinedBehaviorSanitizer (asan preset); then the thread stress test
# under ThreadSanitizer (tsan preset).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
for preset in dev asan tsan; do
  echo "==== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset"
done
