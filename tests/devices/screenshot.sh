#!/usr/bin/env bash
# screenshot.sh BUILD_DIR [OUT.png]
#
# Pictures the devices dialog under Xvfb for the documentation (default
# docs/devices-dialog.png): registers the driver stand-in of the Windows
# build in the test prefix, gives it a fresh device store, shows the dialog
# and converts the captured BMP with ImageMagick.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=${1:?usage: $0 BUILD_DIR [OUT.png]}
OUT=${2:-$ROOT/docs/devices-dialog.png}
BUILD=$(cd "$BUILD" && pwd)
TOOL=$BUILD/tests/devices/devices_screenshot.exe
DLL=$BUILD/driver/Dravix.dll
[ -f "$TOOL" ] && [ -f "$DLL" ] || { echo "build devices_screenshot and Dravix first" >&2; exit 1; }

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
"$ROOT/scripts/wine-env.sh" start
export DRAVIX_SETTINGS_KEY='Software\TavrixTests\Screenshot'
"$ROOT/scripts/wine-run.sh" reg delete "HKCU\\$DRAVIX_SETTINGS_KEY" /f >/dev/null 2>&1 || true
"$ROOT/scripts/wine-run.sh" regsvr32 /s "Z:${DLL//\//\\}"
"$ROOT/scripts/wine-run.sh" "$TOOL" "Z:${WORK//\//\\}\\dialog.bmp"
mkdir -p "$(dirname "$OUT")"
convert "$WORK/dialog.bmp" "$OUT"
echo "$OUT"
