#!/usr/bin/env bash
# Sets everything up, builds, and runs every test (native, fuzz smoke runs and
# the Windows tests under Wine) in one ctest run.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TAVRIX_BUILD_DIR:-$ROOT/build}
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh"
cd "$BUILD/native"
exec ctest --output-on-failure -j "${TAVRIX_TEST_JOBS:-2}" "$@"
