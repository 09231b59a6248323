#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each one for SECONDS seconds (default 60) on a copy of its committed corpus.
# New inputs go to build/fuzz/work/<target>; crashes to build/fuzz/findings/<target>.
# Installs clang and its runtime with apt-get when they are missing.
#
#   fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(mount_walk readentry writeentry_roundtrip parsepath iconv write_ops)
# clang and its sanitizer runtime are not part of the ordinary build: fetch them when missing.
if ! command -v clang++ >/dev/null || ! dpkg-query -W -f='${Status}' libclang-rt-14-dev 2>/dev/null |
    grep -q 'install ok installed'; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        clang libclang-rt-14-dev
fi
cc=${CC_FUZZ:-$(command -v clang-14 || command -v clang)}
cxx=${CXX_FUZZ:-$(command -v clang++-14 || command -v clang++)}
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}

cmake -S "$root" -B "$build/cmake" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DDORVEX_BUILD_FUZZ=ON \
    -DDORVEX_BUILD_TESTS=OFF -DDORVEX_BUILD_TOOL=OFF -DDORVEX_BUILD_EXAMPLES=OFF \
    -DDORVEX_INSTALL=OFF -DDORVEX_WERROR=ON >/dev/null
cmake --build "$build/cmake" -j2 --target $(printf 'fuzz_%s ' "${targets[@]}")

status=0
for t in "${targets[@]}"; do
    work="$build/work/$t"
    findings="$build/findings/$t"
    mkdir -p "$work" "$findings"
    cp -n "$here/corpus/$t"/* "$work/" 2>/dev/null || true
    echo "== $t: ${seconds}s"
    if ! "$build/cmake/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
        "$work" "$here/regressions/$t" 2>"$build/$t.log"; then
        echo "   FINDING: see $findings and $build/$t.log"
        status=1
    fi
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$build/$t.log" | sed 's/^/   /'
    grep -E "^#[0-9]+ +DONE" "$build/$t.log" | sed 's/^/   /' || true
done
exit $status
