#!/usr/bin/env bash
# Configures and builds the three trees: build/win (the 32-bit Windows
# program, its driver stand-in and Windows tests), build/win64 (the same for
# 64-bit Windows) and build/native (platform-neutral code with sanitizers,
# its tests and fuzz targets; its ctest runs the Windows trees' tests too).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TAVRIX_BUILD_DIR:-$ROOT/build}
JOBS=${TAVRIX_JOBS:-$(nproc)}

[ -f "$BUILD/win/build.ninja" ] ||
  cmake -S "$ROOT" -B "$BUILD/win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" >/dev/null
cmake --build "$BUILD/win" -j "$JOBS"

[ -f "$BUILD/win64/build.ninja" ] ||
  cmake -S "$ROOT" -B "$BUILD/win64" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-x86_64.cmake" >/dev/null
cmake --build "$BUILD/win64" -j "$JOBS"

[ -f "$BUILD/native/build.ninja" ] ||
  cmake -S "$ROOT" -B "$BUILD/native" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DTAVRIX_WIN_BUILD_DIR="$BUILD/win" -DTAVRIX_WIN64_BUILD_DIR="$BUILD/win64" >/dev/null
cmake --build "$BUILD/native" -j "$JOBS"
