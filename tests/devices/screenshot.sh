#!/usr/bin/env bash
# screenshot.sh BUILD_DIR [OUT.png]
#
# Pictures the devices dialog under Xvfb for the documentation (default
# docs/devices-dialog.png): the driver stand-in of the Windows build with a
# fresh device store, the dialog shown, the capture converted with ImageMagick.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/../support/picture.sh"
BUILD=$(cd "${1:?usage: $0 BUILD_DIR [OUT.png]}" && pwd)
OUT=${2:-$PICTURE_ROOT/docs/devices-dialog.png}
TOOL=$BUILD/tests/devices/devices_screenshot.exe
[ -f "$TOOL" ] || { echo "build devices_screenshot first" >&2; exit 1; }

picture_prepare "$BUILD" 'Software\TavrixTests\Screenshot'
"$PICTURE_ROOT/scripts/wine-run.sh" "$TOOL" "Z:${WORK//\//\\}\\dialog.bmp"
picture_save "$WORK/dialog.bmp" "$OUT"
