#!/usr/bin/env bash
# Every benchmark in one go: builds the optimised tree with the benchmarks and the tool
# (build/bench), runs the in-process benchmarks (read, listing, lookup, footprint, codec,
# converter, exFAT beside FAT32; each figure beside its baseline of the same run), then the
# whole-process comparison with the peers (bench/compare.sh). The exFAT benchmark's images
# are made once into build/bench/exfat-images (root and exfat-fuse; without them its rows
# report the images missing).
#
#   bash bench/run.sh [RUNS]      # RUNS: timed runs per command in compare.sh (default 10)
#
# Google Benchmark options can be passed in BENCH_ARGS, e.g.
# BENCH_ARGS="--benchmark_repetitions=5 --benchmark_report_aggregates_only=true".
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
cmake --preset bench >/dev/null
cmake --build --preset bench -j2
export DORVEX_BENCH_IMAGES=${DORVEX_BENCH_IMAGES:-$here/build/bench/exfat-images}
if [[ $(id -u) == 0 ]]; then
    bash tools/make_exfat_bench_images.sh "$DORVEX_BENCH_IMAGES" build/bench/cli/dorvex read tree list ||
        echo "note: the exFAT benchmark images could not be made"
fi
for b in bench_readfat bench_codec bench_iconv; do
    echo "== $b"
    # shellcheck disable=SC2086
    "build/bench/bench/$b" ${BENCH_ARGS:-}
done
echo "== bench_exfat (medians of 5 repetitions, targets)"
python3 bench/exfat_report.py build/bench/bench/bench_exfat 5
echo "== compare.sh"
bash bench/compare.sh "build/bench/cli/dorvex" "${1:-10}"
