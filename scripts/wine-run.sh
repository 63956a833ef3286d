#!/usr/bin/env bash
# Runs one Windows program in the project's Wine prefix on the test display,
# with a Russian locale so that Wine's ANSI code page is 1251.
# Used by ctest as the emulator of the Windows builds; the 64-bit tree's
# tests set TAVRIX_WINE_ARCH=win64 (scripts/wine-arch.sh).
set -euo pipefail
. "$(dirname "$0")/wine-arch.sh"
tavrix_skip_unless_wine_runs
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export LANG=${TAVRIX_WINE_LANG:-ru_RU.UTF-8}
export LC_ALL=$LANG
if [ ! -f "$WINEPREFIX/.tavrix-ready" ] || [ ! -f "$RUN_DIR/display" ]; then
  "$(dirname "$0")/wine-env.sh" start
fi
export DISPLAY=$(cat "$RUN_DIR/display")
exec "$WINE" "$@"
