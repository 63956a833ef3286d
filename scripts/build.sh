#!/usr/bin/env bash
# Configures and builds both trees: build/win (the Windows program, its
# driver stand-in and Windows tests) and build/native (platform-neutral code
# with sanitizers, its tests and fuzz targets).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TAVRIX_BUILD_DIR:-$ROOT/build}
JOBS=${TAVRIX_JOBS:-$(nproc)}

[ -f "$BUILD/win/build.ninja" ] ||
  cmake -S "$ROOT" -B "$BUILD/win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$BUILD/win" -j "$JOBS"

[ -f "$BUILD/native/build.ninja" ] ||
  cmake -S "$ROOT" -B "$BUILD/native" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTAVRIX_WIN_BUILD_DIR="$BUILD/win" >/dev/null
cmake --build "$BUILD/native" -j "$JOBS"
