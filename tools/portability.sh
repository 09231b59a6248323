#!/usr/bin/env bash
# Builds and runs the whole test suite in two unusual configurations: plain char unsigned
# (uchar preset, as on ARM and POWER) and a 32-bit i386 program (m32 preset). The 32-bit build
# needs gcc/g++-multilib and GoogleTest's sources, installed here with apt-get when missing;
# when they cannot be had, or 32-bit programs cannot run here, m32 is skipped with a note.
# Usage: tools/portability.sh [preset...]   (default: uchar m32)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=2
presets=("$@")
((${#presets[@]})) || presets=(uchar m32)

# Installs the 32-bit toolchain and GoogleTest's sources if absent; true when a 32-bit
# C++ program then builds and runs.
m32_ready() {
  local missing=() p
  for p in gcc-multilib g++-multilib googletest; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$p")
  done
  if ((${#missing[@]})) && command -v apt-get >/dev/null; then
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
      if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then sudo="sudo -n"; else
        echo "note: ${missing[*]} missing and no root or password-less sudo to install them"
        return 1
      fi
    fi
    echo "installing: ${missing[*]}"
    $sudo apt-get update -qq || true
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      "${missing[@]}" || { echo "note: apt-get could not install ${missing[*]}"; return 1; }
  fi
  [ -f /usr/src/googletest/CMakeLists.txt ] || {
    echo "note: GoogleTest sources not found in /usr/src/googletest"
    return 1
  }
  local probe
  probe=$(mktemp -d)
  printf '#include <cstdio>\nint main() { return std::printf("%%s", "") + int(sizeof(void *)) - 4; }\n' \
    >"$probe/p.cpp"
  if ! c++ -m32 -o "$probe/p" "$probe/p.cpp" 2>/dev/null || ! "$probe/p"; then
    echo "note: c++ -m32 cannot build or run a 32-bit program here"
    rm -rf "$probe"
    return 1
  fi
  rm -rf "$probe"
}

summary=()
status=0
for preset in "${presets[@]}"; do
  echo "==== $preset"
  if [ "$preset" = m32 ] && ! m32_ready; then
    summary+=("m32: SKIPPED (no 32-bit toolchain, see note above)")
    continue
  fi
  log=$(mktemp)
  t0=$(date +%s)
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j "$jobs"; then
    summary+=("$preset: FAILED to configure or build after $(($(date +%s) - t0)) s")
    status=1
    rm -f "$log"
    continue
  fi
  t1=$(date +%s)
  result=0
  # The 32-bit tool cannot link the host's 64-bit libfuse3: mount is built out there.
  fuse_optional=""
  [ "$preset" = m32 ] && fuse_optional=1
  DORVEX_TEST_FUSE_OPTIONAL=$fuse_optional ctest --preset "$preset" 2>&1 | tee "$log" || result=$?
  t2=$(date +%s)
  counts=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$log" | tail -n 1 || true)
  rm -f "$log"
  if ((result == 0)); then
    summary+=("$preset: PASSED (${counts:-no ctest summary}); build $((t1 - t0)) s, tests $((t2 - t1)) s")
  else
    summary+=("$preset: FAILED (${counts:-ctest exit $result}); build $((t1 - t0)) s, tests $((t2 - t1)) s")
    status=1
  fi
done

echo "==== summary"
printf '%s\n' "${summary[@]}"
exit "$status"
