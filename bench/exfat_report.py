#!/usr/bin/env python3
"""Medians, spreads and targets of bench_exfat's rows.

Runs bench_exfat with repetitions (or reads the JSON it wrote) and prints, for each row, the
median time with its spread (min-max over the repetitions), the median of its counters with
theirs, and whether each exFAT target is met:
  read 256 MiB batched      memcpy_ratio   <= 1.05
  stat, 10,000-file tree    exfat_to_fat32 <= 1.0
  list 20,000 names         exfat_to_fat32 <= 1.2

  python3 bench/exfat_report.py [BENCH_EXFAT [REPETITIONS]]   # default build/bench/bench/bench_exfat, 5
  python3 bench/exfat_report.py --json FILE                     # a saved --benchmark_format=json run
"""
import json
import statistics
import subprocess
import sys

TARGETS = [  # row name prefix, counter, limit
    ("BM_ReadBatch/fs:64/", "memcpy_ratio", 1.05),
    ("BM_StatTree/fs:64/", "exfat_to_fat32", 1.0),
    ("BM_ListDir/fs:64/", "exfat_to_fat32", 1.2),
]
COUNTERS = ("memcpy_ratio", "exfat_to_fat32")  # BM_StatTree: ms per 1,000 = us per lookup


def load(argv):
    if argv[:1] == ["--json"]:
        return json.load(open(argv[1]))
    exe = argv[0] if argv else "build/bench/bench/bench_exfat"
    reps = argv[1] if len(argv) > 1 else "5"
    out = subprocess.run([exe, "--benchmark_format=json", "--benchmark_repetitions=" + reps],
                         check=True, stdout=subprocess.PIPE).stdout
    return json.loads(out)


def spread(values, fmt):
    return (fmt % statistics.median(values)) + " (" + (fmt % min(values)) + "-" + (fmt % max(values)) + ")"


def main():
    data = load(sys.argv[1:])
    rows = {}
    for b in data["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            if b.get("error_occurred"):
                rows.setdefault(b["run_name"], {"error": b.get("error_message", "error")})
            continue
        r = rows.setdefault(b["run_name"], {"time": [], "unit": b["time_unit"]})
        r["time"].append(b["real_time"])
        for c in COUNTERS:
            if c in b:
                r.setdefault(c, []).append(b[c])
    for name, r in rows.items():
        short = name.replace("/manual_time", "")
        if "error" in r:
            print("%-36s ERROR %s" % (short, r["error"]))
            continue
        extra = "  ".join("%s %s" % (c, spread(r[c], "%.3f")) for c in COUNTERS if c in r)
        print("%-36s %s %s  %s" % (short, spread(r["time"], "%.3f"), r["unit"], extra))
    print()
    for prefix, counter, limit in TARGETS:
        for name, r in rows.items():
            if name.startswith(prefix) and counter in r:
                m = statistics.median(r[counter])
                print("%-36s %s %.3f <= %.2f  %s" % (name.replace("/manual_time", ""), counter, m, limit,
                                                     "met" if m <= limit else "NOT met"))


if __name__ == "__main__":
    main()
