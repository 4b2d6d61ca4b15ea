#!/usr/bin/env bash
# Installs the build into a private prefix and builds a tiny application against it, once through
# the CMake package and once through pkg-config; both must run.
# Usage: install_consumer.sh BUILD_DIR CONSUMER_SOURCE_DIR WORK_DIR CXX [SANITIZE]
set -euo pipefail
build=$1 consumer=$2 work=$3 cxx=$4 sanitize=${5:-}
prefix="$work/prefix"
flags=()
[ -z "$sanitize" ] || flags=("-fsanitize=$sanitize")

rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"

[ -f "$prefix/include/sdk412.h" ] || { echo "FAIL: public header not installed"; exit 1; }
if grep -n '#include "' "$prefix/include/sdk412.h"; then
  echo "FAIL: the installed header includes library headers that are not installed"; exit 1
fi

echo "== CMake package"
cmake -S "$consumer" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="${flags[*]}" >"$work/configure.log" \
  || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/cmake-build" >"$work/build.log" || { cat "$work/build.log"; exit 1; }
"$work/cmake-build/consumer"

echo "== pkg-config"
if ! command -v pkg-config >/dev/null; then
  echo "pkg-config is not installed; only the CMake package was checked"
  exit 0
fi
pc_dir=$(dirname "$(find "$prefix" -name sdk-ostrel-412.pc | head -n 1)")
read -r -a pc_flags <<<"$(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs sdk-ostrel-412)"
"$cxx" -std=c++17 "${flags[@]}" "$consumer/consumer.cpp" "${pc_flags[@]}" -o "$work/consumer-pc"
LD_LIBRARY_PATH="$(PKG_CONFIG_PATH="$pc_dir" pkg-config --variable=libdir sdk-ostrel-412)" "$work/consumer-pc"
echo "install and consumers: passed"
