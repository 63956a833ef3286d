#!/usr/bin/env bash
# Runs one Windows program in the project's Wine prefix on the test display,
# with a Russian locale so that Wine's ANSI code page is 1251.
# Used by ctest as the emulator of the Windows build.
set -euo pipefail
. "$(dirname "$0")/ia32.sh"
tavrix_skip_without_ia32
CACHE=${TAVRIX_CACHE:-$HOME/.cache/tavrix}
RUN_DIR=${TAVRIX_RUN_DIR:-$CACHE/run}
export WINEPREFIX=${TAVRIX_WINEPREFIX:-$CACHE/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win32
export LANG=${TAVRIX_WINE_LANG:-ru_RU.UTF-8}
export LC_ALL=$LANG
if [ ! -f "$WINEPREFIX/.tavrix-ready" ] || [ ! -f "$RUN_DIR/display" ]; then
  "$(dirname "$0")/wine-env.sh" start
fi
export DISPLAY=$(cat "$RUN_DIR/display")
exec wine "$@"
