#!/usr/bin/env bash
# Runs the ctest suite under valgrind memcheck in a plain debug build (no sanitizers):
# every test binary and the tool runs through memcheck; any error or leak fails the test.
#
#   tools/valgrind.sh [ctest arguments...]      e.g. tools/valgrind.sh -R volume
# Needs valgrind (apt-get install -y valgrind). The build goes to build/valgrind.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${VALGRIND_BUILD_DIR:-build/valgrind}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDORVEX_INSTALL=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-2}"
# The test binaries re-run under memcheck; the fuzz-style sweeps are long under valgrind, so
# the damage sweep is left to the sanitizer build unless asked for explicitly.
ctest --test-dir "$build" -T memcheck \
    --overwrite MemoryCheckCommand=$(command -v valgrind) \
    --overwrite "MemoryCheckCommandOptions=--tool=memcheck --leak-check=full --error-exitcode=99 --errors-for-leak-kinds=definite,indirect --track-origins=no --quiet" \
    -j "${JOBS:-2}" --timeout 1200 -E "${VALGRIND_EXCLUDE:-^Seeds/Damage|^package$}" "$@" \
    | tee "$build/memcheck.log"
# ctest's summary: "Memory checking results:" lists the kinds of defects found (none: clean).
if grep -q "Memory checking results:" "$build/memcheck.log" &&
    grep -A20 "Memory checking results:" "$build/memcheck.log" | grep -qE "^[A-Za-z ]+ - [0-9]+"; then
    echo "valgrind found defects; see $build/Testing/Temporary/MemoryChecker.*.log" >&2
    exit 1
fi
echo "valgrind: no memcheck defects"
