#!/usr/bin/env bash
# Installs the build into a staging prefix and builds the consumer against it twice: with
# find_package(vrx5200) and with pkg-config. Usage: check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --prefix "$stage/prefix" >/dev/null
cmake -S "$source/tests/consumer" -B "$stage/cmake-build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$stage/prefix" >/dev/null
cmake --build "$stage/cmake-build" >/dev/null
libdir=$(dirname "$(find "$stage/prefix" -name 'libvrx5200sim.so' | head -1)")
LD_LIBRARY_PATH="$libdir" "$stage/cmake-build/consumer"
PKG_CONFIG_PATH="$libdir/pkgconfig" cc -o "$stage/pc-consumer" "$source/tests/consumer/consumer.c" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs vrx5200sim)
LD_LIBRARY_PATH="$libdir" "$stage/pc-consumer"
# The measurement core, where the build has it: shared and static, both ways.
if [ -f "$libdir/pkgconfig/vrx5200analysis.pc" ]; then
  LD_LIBRARY_PATH="$libdir" "$stage/cmake-build/analysis_consumer"
  "$stage/cmake-build/analysis_consumer_static"
  export PKG_CONFIG_PATH="$libdir/pkgconfig"
  cc -o "$stage/pc-analysis" "$source/tests/consumer/analysis_consumer.c" \
    $(pkg-config --cflags --libs vrx5200analysis)
  LD_LIBRARY_PATH="$libdir" "$stage/pc-analysis"
  # Static: the archive, then what its private fields add (C++ runtime, KissFFT, threads).
  cc -o "$stage/pc-analysis-static" "$source/tests/consumer/analysis_consumer.c" \
    $(pkg-config --cflags vrx5200analysis) "$libdir/libvrx5200analysis.a" \
    $(pkg-config --static --libs vrx5200analysis | sed 's/-lvrx5200analysis\b//')
  "$stage/pc-analysis-static"
fi
test -x "$stage/prefix/bin/vrx5200"
"$stage/prefix/bin/vrx5200" --sim list
