#!/usr/bin/env bash
# Installs dorvex into a scratch prefix and checks that the installed tree works from
# anywhere: a find_package consumer that asks for C99, a program built with nothing but
# pkg-config's flags, the installed tool run without LD_LIBRARY_PATH (and again after the
# prefix has moved), and an add_subdirectory consumer.
set -euo pipefail
src=$1 bin=$2
# The library's target flags (-m32 and the like), which every consumer needs too.
extra=${DORVEX_CONSUMER_FLAGS:-}
target=(-DCMAKE_C_FLAGS="$extra" -DCMAKE_CXX_FLAGS="$extra" -DCMAKE_EXE_LINKER_FLAGS="$extra")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$bin" --prefix "$prefix" >/dev/null
libdirs="$prefix/lib:$prefix/lib64:$(dirname "$(find "$prefix" -name 'libdorvex.so*' | head -1)")"

# find_package, in a project that asks for C99: the target must not force C11 on it.
cmake -S "$src/tests/package/consumer" -B "$work/find" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCONSUMER_C_STANDARD=99 "${target[@]}" >/dev/null
cmake --build "$work/find" >/dev/null
grep -q -- '-std=gnu99\|-std=c99' "$work/find/CMakeFiles/consumer.dir/flags.make" ||
  { echo "the consumer did not get C99"; exit 1; }
LD_LIBRARY_PATH="$libdirs" "$work/find/consumer"

# pkg-config alone: its flags must point into this prefix and build a program.
pcdir=$(dirname "$(find "$prefix" -name dorvex.pc)")
version=$(sed -n 's/^#define DV_VERSION_STRING "\(.*\)"$/\1/p' "$prefix/include/dorvex/version.h")
PKG_CONFIG_PATH=$pcdir pkg-config --exact-version="$version" dorvex
flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs dorvex)
case "$flags" in *"$prefix"*) ;; *) echo "pkg-config flags miss the prefix: $flags"; exit 1 ;; esac
# shellcheck disable=SC2086
cc -std=c89 -pedantic-errors -Wall -Werror $extra -o "$work/pc_consumer" \
  "$src/tests/package/consumer/consumer.c" $flags
LD_LIBRARY_PATH="$libdirs" "$work/pc_consumer"

# The installed tool finds its library by itself, also after the prefix moves.
if [ -x "$prefix/bin/dorvex" ]; then
  env -u LD_LIBRARY_PATH "$prefix/bin/dorvex" --version
  mv "$prefix" "$work/moved"
  env -u LD_LIBRARY_PATH "$work/moved/bin/dorvex" --version
  mv "$work/moved" "$prefix"
fi

cmake -S "$src/tests/package/consumer" -B "$work/sub" -DDORVEX_SOURCE="$src" "${target[@]}" >/dev/null
cmake --build "$work/sub" >/dev/null
"$work/sub/consumer"
echo "package consumers built and ran"
