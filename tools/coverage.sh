#!/usr/bin/env bash
# Builds with gcc coverage instrumentation, runs the ctest suite and prints line, branch
# and function coverage of src/ (gcovr). An HTML report goes to build/coverage/html/.
#
#   tools/coverage.sh [ctest arguments...]
# Needs gcovr (apt-get install -y gcovr). The build goes to build/coverage.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${COVERAGE_BUILD_DIR:-build/coverage}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDORVEX_INSTALL=OFF \
    -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++ \
    -DCMAKE_CXX_FLAGS="--coverage -O0" -DCMAKE_C_FLAGS="--coverage -O0" \
    -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
cmake --build "$build" -j "${JOBS:-2}"
find "$build" -name '*.gcda' -delete
ctest --test-dir "$build" -j "${JOBS:-2}" --output-on-failure "$@" || true
mkdir -p "$build/html"
# Exception-only and unreachable branches the compiler adds are left out of the branch count.
gcovr --root . --filter 'src/' --object-directory "$build" \
    --exclude-unreachable-branches --exclude-throw-branches \
    --print-summary --html-details "$build/html/index.html" --txt "$build/coverage.txt" \
    | tail -5
# Per file: lines, then branches.
gcovr --root . --filter 'src/' --object-directory "$build" --exclude-unreachable-branches \
    --exclude-throw-branches | tail -22
gcovr --root . --filter 'src/' --object-directory "$build" --exclude-unreachable-branches \
    --exclude-throw-branches --branches | tail -22
echo "details: $build/coverage.txt, $build/html/index.html"
