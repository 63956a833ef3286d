#!/usr/bin/env bash
# Runs the lookup benchmark natively: builds it without sanitizers at -O2
# in build/bench (or $TAVRIX_BENCH_BUILD), builds Tavrix.exe in build/win
# (or $TAVRIX_WIN_BUILD) and names a fixed set of its addresses.
#   bench/crashreport/debug/run.sh [count]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../../.." && pwd)
WIN=${TAVRIX_WIN_BUILD:-$ROOT/build/win}
BENCH=${TAVRIX_BENCH_BUILD:-$ROOT/build/bench}
JOBS=${TAVRIX_JOBS:-2}
if [ ! -f "$WIN/build.ninja" ]; then
  cmake -S "$ROOT" -B "$WIN" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" >/dev/null
fi
cmake --build "$WIN" -j "$JOBS" --target Tavrix >/dev/null
if [ ! -f "$BENCH/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BENCH" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIX_SANITIZE=OFF >/dev/null
fi
cmake --build "$BENCH" -j "$JOBS" --target trdata_lookup_bench >/dev/null
exec "$BENCH/bench/crashreport/debug/trdata_lookup_bench" "$WIN/Tavrix.exe" "${1:-10000}"
