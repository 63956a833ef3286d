#!/usr/bin/env bash
# Runs the scan benchmark: builds it in build/win (or $TAVRIX_WIN_BUILD),
# makes a serial pair COM43 <-> COM44 in the project's Wine prefix and feeds
# N scans (default 2000) at 115200 baud into the main window; with
# "journal" the event journal's window is open during the run; with
# "selectall" it is open too, and every row is selected once the journal is
# full (give more than 10000 scans). The 64-bit program:
# TAVRIX_WINE_ARCH=win64 TAVRIX_WIN_BUILD=build/win64 bench/app/run.sh ...
#   bench/app/run.sh [count] [journal|selectall]
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=${TAVRIX_WIN_BUILD:-$ROOT/build/win}
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" >/dev/null
fi
cmake --build "$BUILD" -j2 --target scan_bench >/dev/null
"$ROOT/scripts/wine-env.sh" start
exec "$ROOT/tests/support/with-com-pair.sh" 43 44 -- \
  "$ROOT/scripts/wine-run.sh" "$BUILD/bench/app/scan_bench.exe" "${1:-2000}" 43 44 ${2:+"$2"}
