#!/usr/bin/env bash
# journal-screenshot.sh BUILD_DIR [OUT.png]
#
# Pictures the event journal with real rows under Xvfb for the documentation
# (default docs/journal-window.png): registers the driver stand-in of the
# Windows build in the test prefix, gives it a fresh device store, feeds
# scans, a card swipe, a key and a refused switch-on through a serial pair
# (COM47 <-> COM48), and converts the captured BMP with ImageMagick.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=${1:?usage: $0 BUILD_DIR [OUT.png]}
OUT=${2:-$ROOT/docs/journal-window.png}
BUILD=$(cd "$BUILD" && pwd)
TOOL=$BUILD/tests/app/journal_screenshot.exe
DLL=$BUILD/driver/Dravix.dll
[ -f "$TOOL" ] && [ -f "$DLL" ] || { echo "build journal_screenshot and Dravix first" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
"$ROOT/scripts/wine-env.sh" start
export DRAVIX_SETTINGS_KEY='Software\TavrixTests\JournalScreenshot'
"$ROOT/scripts/wine-run.sh" reg delete "HKCU\\$DRAVIX_SETTINGS_KEY" /f >/dev/null 2>&1 || true
"$ROOT/scripts/wine-run.sh" regsvr32 /s "Z:${DLL//\//\\}"
"$ROOT/tests/support/with-com-pair.sh" 47 48 -- \
  "$ROOT/scripts/wine-run.sh" "$TOOL" "Z:${WORK//\//\\}\\journal.bmp" 47 48
mkdir -p "$(dirname "$OUT")"
convert "$WORK/journal.bmp" "$OUT"
echo "$OUT"
