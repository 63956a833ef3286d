#!/usr/bin/env bash
# Sets everything up, builds, and runs every test (native, fuzz smoke runs and
# the 32-bit and 64-bit Windows tests under Wine) in one ctest run. On a
# machine that cannot run 32-bit programs the 32-bit Windows tests ("win.*")
# are built but reported as skipped, and the 64-bit ones ("win64.*") still
# run (scripts/ia32.sh; TAVRIX_FORCE_NO_IA32=1 takes that path anywhere).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TAVRIX_BUILD_DIR:-$ROOT/build}
. "$ROOT/scripts/ia32.sh"
tavrix_ia32_check
"$ROOT/scripts/setup.sh"
"$ROOT/scripts/build.sh"
cd "$BUILD/native"
if [ "$TAVRIX_IA32" = yes ]; then
  exec ctest --output-on-failure -j "${TAVRIX_TEST_JOBS:-2}" "$@"
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
ctest --output-on-failure -j "${TAVRIX_TEST_JOBS:-2}" "$@" | tee "$log" || status=$?
# The Wine environment's own start and stop are not tests of the program.
skipped=$(grep -E 'Test +#[0-9]+: win\.[^ ]+ .*\*\*\*Skipped' "$log" | grep -cv 'win\.env\.' || true)
echo "32-bit Windows tests skipped: $skipped, because $TAVRIX_IA32_REASON (each test's reason is in build/native/Testing/Temporary/LastTest.log)."
exit $status
