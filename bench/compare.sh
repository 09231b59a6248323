#!/usr/bin/env bash
# Whole-process comparison of the dorvex tool with the usual FAT readers, on the same
# images in the same run: `cat` of the same bytes, mtools (mtype, mdir, mcopy -s), The
# Sleuth Kit (icat, fls -r) and 7-Zip (7zz x, 7zz l); the time `dorvex mkimage` takes
# for a directory of 20,000 files; `rm -r` of that directory and of trees 10,000 and 1,500
# levels deep beside mtools' mdeltree, and `put` of a tree 1,500 levels deep beside
# mcopy -s. Prints medians, spreads (min-max), ratios to the first command of each group,
# and peak memory (maximum resident set).
#
#   bash bench/compare.sh [DORVEX] [RUNS]
#
# DORVEX: the tool to measure (default build/bench/cli/dorvex, then build/release/cli/dorvex).
# RUNS: timed runs per command after one warm-up (default 10). WORK=dir keeps the images
# there (default: a temporary folder, removed at the end). ONLY=GROUP[|GROUP...] measures
# only those groups (e.g. ONLY=exget). Run as root, missing peers are installed with
# apt-get; a peer that cannot be had is skipped with a note. The exFAT camera card of the
# exget group is made by tools/make_exfat_bench_images.sh (root, exfat-fuse).
set -euo pipefail
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8

here=$(cd "$(dirname "$0")/.." && pwd)
dorvex=${1:-}
runs=${2:-10}
if [[ -z $dorvex ]]; then
    for c in "$here/build/bench/cli/dorvex" "$here/build/release/cli/dorvex"; do
        [[ -x $c ]] && dorvex=$c && break
    done
fi
[[ -x ${dorvex:-} ]] || { echo "compare.sh: no dorvex tool; build it (cmake --preset bench && cmake --build --preset bench) or pass its path" >&2; exit 2; }
dorvex=$(realpath "$dorvex")

# ---- Peers ----------------------------------------------------------------------------
# command -> Debian package
declare -A pkg=([mtype]=mtools [mdir]=mtools [mcopy]=mtools [mdeltree]=mtools [icat]=sleuthkit [fls]=sleuthkit
    [7zz]=7zip [hyperfine]=hyperfine [python3]=python3)
missing=()
for c in "${!pkg[@]}"; do command -v "$c" >/dev/null || missing+=("${pkg[$c]}"); done
[[ -x /usr/bin/time ]] || missing+=(time)
if ((${#missing[@]})) && [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
    mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
    echo "installing: ${missing[*]}"
    apt-get update -qq >/dev/null 2>&1 || true
    for p in "${missing[@]}"; do
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p" >/dev/null 2>&1 ||
            echo "note: could not install $p"
    done
fi
have() { command -v "$1" >/dev/null; }
have python3 || { echo "compare.sh: python3 is needed to build the sources and the report" >&2; exit 2; }
for c in mtype icat 7zz hyperfine; do
    have "$c" || echo "note: $c not available (package ${pkg[$c]}): its rows are skipped"
done
[[ -x /usr/bin/time ]] || echo "note: /usr/bin/time not available (package time): no peak memory"

# ---- Images ---------------------------------------------------------------------------
if [[ -n ${WORK:-} ]]; then
    work=$WORK
    mkdir -p "$work"
else
    work=$(mktemp -d /tmp/dorvex-compare.XXXXXX)
    trap 'rm -rf "$work"' EXIT
fi
cd "$work"

# Seeded sources: a 256 MiB file of pseudo-random bytes; a directory of 20,000 empty files
# with 25-unit names (every tenth non-ASCII; three entries each, within FAT's 65,536 per
# directory); a tree of 1,000 files (20 x 50, 1-64 KiB).
python3 - <<'EOF'
import os, random, shutil
r = random.Random(7)
os.makedirs("src_big", exist_ok=True)
if not os.path.exists("src_big/big.bin"):
    with open("src_big/big.bin", "wb") as f:
        for _ in range(256):
            f.write(r.randbytes(1 << 20))
d = "src_list/files"
if not os.path.exists(d + "/document-list-0000000.dat"):  # not the older 26-unit names
    shutil.rmtree("src_list", ignore_errors=True)
    os.makedirs(d)
    for i in range(20000):
        name = ("Dateiübersicht%07d.dat" if i % 10 == 3 else "document-list-%07d.dat") % i
        open(os.path.join(d, name), "wb").close()
if not os.path.isdir("src_tree"):
    for a in range(20):
        p = "src_tree/folder %02d" % a
        os.makedirs(p)
        for b in range(50):
            with open(os.path.join(p, "file %02d-%02d.bin" % (a, b)), "wb") as f:
                f.write(r.randbytes(r.randint(1024, 65536)))
EOF
[[ -f big.img ]] || "$dorvex" mkimage --cluster-size 32768 src_big big.img >/dev/null
[[ list.img -nt src_list ]] || "$dorvex" mkimage --force --cluster-size 4096 src_list list.img >/dev/null
# The same directory on 32 KiB clusters: where a sorted listing that read records back one
# by one, in name order, read a whole cluster for each.
[[ list32.img -nt src_list ]] || "$dorvex" mkimage --force --cluster-size 32768 src_list list32.img >/dev/null
[[ -f tree.img ]] || "$dorvex" mkimage --cluster-size 4096 src_tree tree.img >/dev/null
cat src_big/big.bin >/dev/null # into the page cache, like the images

# The Sleuth Kit addresses files by inode number.
inode_of() { # image, name as fls prints it
    fls -r "$1" 2>/dev/null | awk -v n="$2" -F'\t' '$2 == n { split($1, a, " "); sub(":", "", a[length(a)]); print a[length(a)]; exit }'
}

# ---- Measuring ------------------------------------------------------------------------
results=$work/results.tsv
: >"$results"

# group, label, prepare command, command[, runs]. The first of a group is its baseline. A
# command given its own (smaller) number of runs has no warm-up beyond the memory run.
measure() {
    local group=$1 label=$2 prepare=$3 cmd=$4 json=$work/h.json mem="-" runs=${5:-$runs} warmup=1
    [[ -n ${5:-} ]] && warmup=0
    [[ -z ${ONLY:-} || $group =~ ^($ONLY)$ ]] || return 0
    if [[ -x /usr/bin/time ]]; then
        [[ -n $prepare ]] && bash -c "$prepare"
        /usr/bin/time -o "$work/mem" -f '%M' bash -c "$cmd" >/dev/null 2>&1 || true
        mem=$(tail -1 "$work/mem")
    fi
    if have hyperfine; then
        local args=(--warmup "$warmup" --runs "$runs" --export-json "$json" --style none)
        [[ -n $prepare ]] && args+=(--prepare "$prepare")
        hyperfine "${args[@]}" "$cmd" >/dev/null 2>&1 || { echo "note: '$label' failed, skipped"; return; }
        python3 - "$json" "$group" "$label" "$mem" >>"$results" <<'EOF'
import json, statistics, sys
t = json.load(open(sys.argv[1]))["results"][0]["times"]
print("\t".join(sys.argv[2:4] + ["%.6f" % statistics.median(t), "%.6f" % min(t), "%.6f" % max(t), sys.argv[4]]))
EOF
    else
        local times=()
        [[ -n $prepare ]] && bash -c "$prepare"
        ((warmup)) && { bash -c "$cmd" >/dev/null 2>&1 || { echo "note: '$label' failed, skipped"; return; }; }
        for ((i = 0; i < runs; i++)); do
            [[ -n $prepare ]] && bash -c "$prepare"
            local s=$(date +%s%N)
            bash -c "$cmd" >/dev/null 2>&1
            times+=($(($(date +%s%N) - s)))
        done
        python3 - "$group" "$label" "$mem" "${times[@]}" >>"$results" <<'EOF'
import statistics, sys
t = [int(x) / 1e9 for x in sys.argv[4:]]
print("\t".join(sys.argv[1:3] + ["%.6f" % statistics.median(t), "%.6f" % min(t), "%.6f" % max(t), sys.argv[3]]))
EOF
    fi
}

q() { printf '%q' "$1"; }
D=$(q "$dorvex")

echo "== read the 256 MiB file"
measure cat "cat (same bytes)" "" "cat src_big/big.bin"
measure cat "dorvex cat" "" "$D cat big.img /big.bin"
measure cat "dorvex cat | cat" "" "$D cat big.img /big.bin | cat"
measure cat "dorvex cat > file" "rm -f copy.bin" "$D cat big.img /big.bin > copy.bin"
rm -f copy.bin
have mtype && measure cat "mtype" "" "mtype -i big.img ::/big.bin"
if have icat; then
    ino=$(inode_of big.img big.bin)
    [[ -n $ino ]] && measure cat "icat" "" "icat big.img $ino" || echo "note: fls found no inode for big.bin"
fi
have 7zz && measure cat "7zz x -so" "" "7zz x -so big.img big.bin"

echo "== list the directory of 20,000 files"
measure ls "dorvex ls" "" "$D ls list.img /files"
measure ls "dorvex ls -U" "" "$D ls -U list.img /files"
measure ls "dorvex ls --json" "" "$D ls --json list.img /files"
measure ls "dorvex ls -R" "" "$D ls -R list.img"
measure ls "dorvex tree" "" "$D tree list.img"
measure ls "dorvex get (list)" "rm -rf out" "$D get --quiet list.img /files out"
have mdir && measure ls "mdir" "" "mdir -i list.img ::/files"
have fls && measure ls "fls -r" "" "fls -r list.img"
have 7zz && measure ls "7zz l" "" "7zz l list.img"

echo "== list the directory of 20,000 files on 32 KiB clusters"
have mdir && measure ls32 "mdir" "" "mdir -i list32.img ::/files"
measure ls32 "dorvex ls" "" "$D ls list32.img /files"
measure ls32 "dorvex ls -U" "" "$D ls -U list32.img /files"
measure ls32 "dorvex ls -l" "" "$D ls -l list32.img /files"
measure ls32 "dorvex ls -lS" "" "$D ls -lS list32.img /files"
measure ls32 "dorvex ls -R" "" "$D ls -R list32.img"
measure ls32 "dorvex tree" "" "$D tree list32.img"
# The records read again by position, as a directory past the records' budget is.
measure ls32 "dorvex ls (re-read)" "" "env DORVEX_TEST_SORT_BUDGET=0 $D ls list32.img /files"

echo "== extract a tree of 1,000 files (20 x 50)"
measure get "dorvex get" "rm -rf out" "$D get --quiet tree.img / out"
have mcopy && measure get "mcopy -s" "rm -rf out && mkdir out" "mcopy -s -n -i tree.img ::/ out"
have 7zz && measure get "7zz x" "rm -rf out" "7zz x -y -oout tree.img"
rm -rf out

# exFAT: a camera card, 1,000 photos in DCIM/100CANON (64-384 KiB each), extracted whole,
# beside The Sleuth Kit's tsk_recover -a and fls + one icat per file (as a script over its
# listing would do).
if [[ ( -z ${ONLY:-} || exget =~ ^($ONLY)$ ) && ! -f exfat-camera.img ]]; then
    if [[ $(id -u) == 0 ]] && have mount.exfat-fuse && have mkfs.exfat; then
        bash "$here/tools/make_exfat_bench_images.sh" "$work" "$dorvex" camera >/dev/null ||
            echo "note: the exFAT camera card could not be made"
    else
        echo "note: the exFAT camera card needs root, exfatprogs and exfat-fuse: its rows are skipped"
    fi
fi
if [[ -f exfat-camera.img ]]; then
    cat >fls_icat.sh <<'EOF'
# fls lists every live file with its inode; icat writes each one out.
img=$1 out=$2
fls -r -u -p "$img" | while IFS=$'\t' read -r kind path; do
    [[ $kind == r/r\ * && $path != \$* && $path != *"(Volume Label Entry)" ]] || continue
    ino=${kind#r/r }
    ino=${ino%:}
    mkdir -p "$out/$(dirname "$path")"
    icat "$img" "$ino" >"$out/$path"
done
EOF
    # Once, untimed: each must write the photos that went onto the card (tsk_recover -a
    # also writes the bitmap and up-case table as $ALLOC_BITMAP and $UPCASE_TABLE).
    if have tsk_recover && [[ -z ${ONLY:-} || exget =~ ^($ONLY)$ ]]; then
        rm -rf out_dorvex out_tsk out_icat
        "$dorvex" get --quiet exfat-camera.img / out_dorvex || echo "note: dorvex get of the exFAT card failed"
        tsk_recover -a exfat-camera.img out_tsk >/dev/null 2>&1 || echo "note: tsk_recover -a failed"
        bash fls_icat.sh exfat-camera.img out_icat
        for o in out_dorvex out_tsk out_icat; do
            bad=$(diff -rq -x '$*' src_camera "$o" 2>&1 | wc -l) || true
            ((bad == 0)) || echo "note: $o differs from what went onto the card in $bad files (diff -r src_camera $work/$o)"
        done
        rm -rf out_dorvex out_tsk out_icat
    fi
    echo "== extract an exFAT camera card (1,000 photos)"
    # sync: the last run's 220 MiB are written back before the next one starts, not during.
    measure exget "dorvex get" "rm -rf out && sync" "$D get --quiet exfat-camera.img / out"
    have tsk_recover && measure exget "tsk_recover -a" "rm -rf out && sync" "tsk_recover -a exfat-camera.img out"
    # A thousand icat processes take some 30 s a run: three runs.
    have fls && measure exget "fls -r + icat" "rm -rf out && sync" "bash fls_icat.sh exfat-camera.img out" \
        $((runs < 3 ? runs : 3))
    rm -rf out
fi

echo "== build an image of the directory of 20,000 files"
measure mkimage "dorvex mkimage" "" "$D mkimage --force --cluster-size 4096 src_list mk.img"
rm -f mk.img

# Writing: into a copy of a blank mkfs.fat image (made afresh before each run, untimed).
if have mkfs.fat; then
    [[ -f blank.img ]] || mkfs.fat -F 32 -s 8 -C blank.img $((640 * 1024)) >/dev/null
    echo "== put a tree of 1,000 files (20 x 50)"
    measure put "mcopy -s" "cp blank.img w.img" "mcopy -s -i w.img src_tree ::/"
    measure put "dorvex put" "cp blank.img w.img" "$D put w.img src_tree /"
    measure put "dorvex put --sync" "cp blank.img w.img" "$D put --sync w.img src_tree /"
    # The floor: the same bytes written into the image with no file system at all.
    measure put "cat (bytes into the image)" "cp blank.img w.img" "cat src_tree/*/* 1<>w.img"
    echo "== build an image of the tree of 1,000 files (20 x 50)"
    # mkfs.fat makes the volume mkimage chose (size and cluster), then put fills it.
    "$dorvex" mkimage --force src_tree mkt.img >/dev/null
    mkt_kib=$(($(stat -c %s mkt.img) / 1024))
    mkt_spc=$("$dorvex" info --json mkt.img | python3 -c 'import json, sys; print(json.load(sys.stdin)["volume"]["sectors_per_cluster"])')
    measure mktree "mkfs.fat + dorvex put" "rm -f mkt.img" "mkfs.fat -F 32 -s $mkt_spc -C mkt.img $mkt_kib >/dev/null && $D put mkt.img src_tree/. /"
    measure mktree "dorvex mkimage" "rm -f mkt.img" "$D mkimage src_tree mkt.img"
    rm -f mkt.img
    echo "== put the 256 MiB file"
    measure putbig "cp (same bytes)" "rm -f copy.bin" "cp src_big/big.bin copy.bin"
    measure putbig "dorvex put" "cp blank.img w.img" "$D put w.img src_big/big.bin /"
    echo "== put 20,000 files into one directory"
    measure putlist "dorvex put" "cp blank.img w.img" "$D put w.img src_list/files /"
    rm -f w.img copy.bin
fi

# Removing: rm -r of the directory of 20,000 files (the image above) and of trees 10,000 and
# 1,500 levels deep (each level a directory and a file, laid out on a FAT16 image), into a
# fresh copy before each run; and put of a host tree 1,500 levels deep (the same shape) into
# a blank FAT16 image, beside mcopy -s. mtools recurse per level: the default 8 MiB stack
# does not hold 10,000 levels (mdeltree crashes), so they run with an unlimited one.
if have mkfs.fat && have python3; then
    for levels in 10000 1500; do
        [[ -f deep$levels.img ]] && continue
        mkfs.fat -F 16 -s 1 -C deep$levels.img 16384 >/dev/null
        python3 - deep$levels.img $levels <<'EOF2'
import struct, sys
name, levels = sys.argv[1], int(sys.argv[2])
d = bytearray(open(name, "rb").read())
reserved, fats = struct.unpack_from("<H", d, 14)[0], d[16]
root_entries, fat_sectors = (struct.unpack_from("<H", d, o)[0] for o in (17, 22))
root = (reserved + fats * fat_sectors) * 512
data = root + root_entries * 32
entry = lambda n, a, c=0: n + bytes([a]) + bytes(14) + struct.pack("<HI", c, 0)
for k in range(levels):
    c = 2 + k
    for f in range(fats):
        struct.pack_into("<H", d, (reserved + f * fat_sectors) * 512 + 2 * c, 0xFFFF)
    raw = entry(b".          ", 0x10, c) + entry(b"..         ", 0x10, c - 1 if k else 0)
    if k + 1 < levels:
        raw += entry(b"D          ", 0x10, c + 1)
    raw += entry(b"F       TXT", 0x20)
    d[data + (c - 2) * 512:data + (c - 2) * 512 + len(raw)] = raw
d[root:root + 32] = entry(b"DEEP       ", 0x10, 2)
open(name, "wb").write(d)
EOF2
    done
    if [[ ! -d src_deep ]]; then
        python3 - <<'EOF2'
import os
p = "src_deep/DEEP"
for k in range(1500):
    os.makedirs(p, exist_ok=True)
    open(os.path.join(p, "F.TXT"), "wb").close()
    p = os.path.join(p, "D")
EOF2
    fi
    [[ -f blank16.img ]] || mkfs.fat -F 16 -s 1 -C blank16.img 16384 >/dev/null
    echo "== rm -r a directory of 20,000 files"
    have mdeltree && measure rmlist "mdeltree" "cp list.img w.img" "mdeltree -i w.img ::/files"
    measure rmlist "dorvex rm -r" "cp list.img w.img" "$D rm -r w.img /files"
    echo "== rm -r a tree 10,000 levels deep"
    have mdeltree && measure rmdeep "mdeltree (unlimited stack)" "cp deep10000.img w.img" \
        "ulimit -s unlimited; mdeltree -i w.img ::/DEEP"
    measure rmdeep "dorvex rm -r" "cp deep10000.img w.img" "$D rm -r w.img /DEEP"
    echo "== rm -r a tree 1,500 levels deep"
    have mdeltree && measure rmdeep1500 "mdeltree (unlimited stack)" "cp deep1500.img w.img" \
        "ulimit -s unlimited; mdeltree -i w.img ::/DEEP"
    measure rmdeep1500 "dorvex rm -r" "cp deep1500.img w.img" "$D rm -r w.img /DEEP"
    echo "== put a tree 1,500 levels deep"
    have mcopy && measure putdeep "mcopy -s (unlimited stack)" "cp blank16.img w.img" \
        "ulimit -s unlimited; mcopy -s -i w.img src_deep/DEEP ::/"
    measure putdeep "dorvex put" "cp blank16.img w.img" "$D put w.img src_deep/DEEP /"
    rm -f w.img
fi

# ---- Report ---------------------------------------------------------------------------
echo
python3 - "$results" <<'EOF'
import sys
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.strip()]
base = {}
print("%-20s %10s %22s %8s %10s" % ("command", "median", "spread (min-max)", "ratio", "peak RSS"))
group = None
for g, label, med, lo, hi, mem in rows:
    med, lo, hi = float(med), float(lo), float(hi)
    if g != group:
        group = g
        base[g] = med
        print("-- %s (ratio to %s)" % (g, label))
    kib = "%7.1f MiB" % (int(mem) / 1024) if mem.isdigit() else "-"
    print("%-20s %8.1f ms %9.1f - %8.1f ms %7.2fx %10s" % (label, med * 1e3, lo * 1e3, hi * 1e3, med / base[g], kib))
def ratio(g, a, b):
    r = {l: float(m) for gg, l, m, *_ in rows if gg == g}
    return r[a] / r[b] if a in r and b in r else None
print()
checks = [("dorvex cat <= 1.0 x cat", ratio("cat", "dorvex cat", "cat (same bytes)"), 1.0),
          ("dorvex ls <= 0.5 x mdir", ratio("ls", "dorvex ls", "mdir"), 0.5),
          ("dorvex ls 32K <= 0.3 x mdir", ratio("ls32", "dorvex ls", "mdir"), 0.3),
          ("dorvex get <= 0.25 x mcopy -s", ratio("get", "dorvex get", "mcopy -s"), 0.25),
          ("exFAT get < tsk_recover -a", ratio("exget", "dorvex get", "tsk_recover -a"), 0.999),
          ("exFAT get < fls + icat", ratio("exget", "dorvex get", "fls -r + icat"), 0.999),
          ("dorvex put <= 0.2 x mcopy -s", ratio("put", "dorvex put", "mcopy -s"), 0.2),
          ("mkimage <= mkfs.fat + put", ratio("mktree", "dorvex mkimage", "mkfs.fat + dorvex put"), 1.0),
          ("put 256 MiB <= 1.5 x cp", ratio("putbig", "dorvex put", "cp (same bytes)"), 1.5),
          ("rm -r 20,000 <= 2 x mdeltree", ratio("rmlist", "dorvex rm -r", "mdeltree"), 2.0),
          ("rm -r deep <= 2 x mdeltree", ratio("rmdeep", "dorvex rm -r", "mdeltree (unlimited stack)"), 2.0),
          ("put deep <= mcopy -s", ratio("putdeep", "dorvex put", "mcopy -s (unlimited stack)"), 1.0)]
for name, r, limit in checks:
    if r is not None:
        print("%-26s %.2f  %s" % (name, r, "met" if r <= limit else "NOT met"))
for g, label, med, lo, hi, mem in rows:
    if g == "mkimage" and label == "dorvex mkimage":
        print("%-26s %.2f s  %s" % ("dorvex mkimage <= 2 s", float(med), "met" if float(med) <= 2 else "NOT met"))
    if g == "putlist":
        print("%-26s %.1f s  %s" % ("put 20,000 files < 10 s", float(med), "met" if float(med) < 10 else "NOT met"))
    if g.startswith("rm") and label == "dorvex rm -r":
        print("%-26s %.2f s  %s" % (g + " <= 1 s", float(med), "met" if float(med) <= 1 else "NOT met"))
    if g.startswith("put") and label == "dorvex put" and mem.isdigit():
        print("%-26s %.1f MiB  %s" % (g + " peak <= 8 MiB", int(mem) / 1024, "met" if int(mem) <= 8192 else "NOT met"))
for g, label, med, lo, hi, mem in rows:
    if g == "ls32" and label.startswith(("dorvex ls", "dorvex tree")) and mem.isdigit():
        print("%-26s %.1f MiB  %s" % (label + " 32K peak <= 6 MiB", int(mem) / 1024, "met" if int(mem) <= 6144 else "NOT met"))
# Sorted listings hold every entry's key (some 40 bytes each) and record (some 70): 6 MiB.
for g, label, med, lo, hi, mem in rows:
    if g == "ls" and label in ("dorvex ls", "dorvex ls --json", "dorvex ls -R", "dorvex tree") and mem.isdigit():
        print("%-26s %.1f MiB  %s" % (label + " peak <= 6 MiB", int(mem) / 1024, "met" if int(mem) <= 6144 else "NOT met"))
    elif g != "ls32" and label in ("dorvex cat", "dorvex ls -U", "dorvex get (list)") and mem.isdigit():
        print("%-26s %.1f MiB  %s" % (label + " peak <= 4 MiB", int(mem) / 1024, "met" if int(mem) <= 4096 else "NOT met"))
EOF
