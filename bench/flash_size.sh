#!/usr/bin/env bash
# What the library takes in flash: every source compiled for size (-Os, one section per
# function and object, no exceptions, RTTI or unwind tables), with arm-none-eabi-g++
# (Cortex-M4, Thumb) when installed, else the host g++. Prints text/data/bss of
#   - the objects of src/write/ alone;
#   - a data logger's write path: what writefat_config_init, writefat_open3,
#     writefat_open_file, writefat_write, writefat_flush, writefat_finish, writefat_abort,
#     writefat_mkdir and writefat_close keep of the whole library after --gc-sections
#     (readfat, codec and charset code included), with writefat_format beside it;
#   - every writefat_* function, and the whole library (all objects).
#
#   bash bench/flash_size.sh [CXX]
#
# KEEP=1 leaves the objects in the temporary folder (nm --size-sort -S on logger.o there shows
# what the logger pulls in).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cxx=${1:-}
if [[ -z $cxx ]]; then
    if command -v arm-none-eabi-g++ >/dev/null; then
        cxx="arm-none-eabi-g++ -mcpu=cortex-m4 -mthumb"
    else
        cxx=g++
    fi
fi
prefix=$(echo "$cxx" | awk '{print $1}' | sed 's/g++$//')
ld=${prefix}ld
size=${prefix}size
command -v "$ld" >/dev/null || ld=ld
command -v "$size" >/dev/null || size=size
work=$(mktemp -d)
[[ -n ${KEEP:-} ]] || trap 'rm -rf "$work"' EXIT

# The generated version header, as the build makes it.
mkdir -p "$work/include/dorvex"
ver=$(sed -n 's/^project(dorvex VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")

cp "$here"/build/*/include/dorvex/version.h "$work/include/dorvex/" 2>/dev/null || true

flags="-std=c++20 -Os -ffunction-sections -fdata-sections -fno-exceptions -fno-rtti
       -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-threadsafe-statics
       -DDORVEX_BUILDING -DDORVEX_STATIC -I$here/include -I$work/include -I$here/src"
objs=()
for src in "$here"/src/*/*.cpp; do
    o="$work/$(basename "$(dirname "$src")")_$(basename "$src" .cpp).o"
    # shellcheck disable=SC2086
    $cxx $flags -c "$src" -o "$o"
    objs+=("$o")
done
echo "compiler: $cxx ($($cxx --version | head -1)), version $ver"

sum() { "$size" -t "$@" | tail -1 | awk '{printf "%8d %6d %6d  ", $1, $2, $3}'; }
keep() { # keep NAME FUNCTION...: what the functions pull in from all objects
    local name=$1 roots=()
    shift
    for f in "$@"; do roots+=(-u "$f"); done
    "$ld" -r --gc-sections "${roots[@]}" "${objs[@]}" -o "$work/$name.o"
    sum "$work/$name.o"
}
printf "%-34s %8s %6s %6s\n" "" text data bss
printf "%-34s " "src/write objects"; sum "$work"/write_*.o; echo
logger=(writefat_config_init writefat_open3 writefat_open_file writefat_write writefat_flush
    writefat_finish writefat_abort writefat_mkdir writefat_close)
printf "%-34s " "logger's write path (gc-sections)"; keep logger "${logger[@]}"; echo
printf "%-34s " "  with writefat_format"; keep logger_fmt "${logger[@]}" writefat_format; echo
mapfile -t all_w < <(grep -ho 'DORVEX_API[^(]*\bwritefat_[a-z0-9_]*\s*(' "$here/include/dorvex/writefat.h" \
    | grep -o 'writefat_[a-z0-9_]*' | sort -u)
printf "%-34s " "every writefat_* (gc-sections)"; keep all_write "${all_w[@]}"; echo
printf "%-34s " "whole library (all objects)"; sum "${objs[@]}"; echo
