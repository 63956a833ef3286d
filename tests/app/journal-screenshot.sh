#!/usr/bin/env bash
# journal-screenshot.sh BUILD_DIR [OUT.png]
#
# Pictures the event journal with real rows under Xvfb for the documentation
# (default docs/journal-window.png): the driver stand-in of the Windows build
# with a fresh device store; scans, a card swipe, a key and a refused
# switch-on fed through a serial pair (COM47 <-> COM48); the capture
# converted with ImageMagick.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../support/picture.sh"
BUILD=$(cd "${1:?usage: $0 BUILD_DIR [OUT.png]}" && pwd)
OUT=${2:-$PICTURE_ROOT/docs/journal-window.png}
TOOL=$BUILD/tests/app/journal_screenshot.exe
[ -f "$TOOL" ] || { echo "build journal_screenshot first" >&2; exit 1; }

picture_prepare "$BUILD" 'Software\TavrixTests\JournalScreenshot'
"$PICTURE_ROOT/tests/support/with-com-pair.sh" 47 48 -- \
  "$PICTURE_ROOT/scripts/wine-run.sh" "$TOOL" "Z:${WORK//\//\\}\\journal.bmp" 47 48
picture_save "$WORK/journal.bmp" "$OUT"
