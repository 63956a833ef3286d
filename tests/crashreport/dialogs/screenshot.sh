#!/usr/bin/env bash
# screenshot.sh BUILD_DIR [OUT_DIR]
#
# Pictures the crash reporter's dialogs under Xvfb for the documentation
# (default docs/): the detailed dialog compact and with each of its six
# pages, the classic dialog in English and with Russian texts, the request
# dialog and the send-progress window, each shown for a real exception of
# dialog_screenshots.exe and converted with ImageMagick.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../../.." && pwd)
BUILD=$(cd "${1:?usage: $0 BUILD_DIR [OUT_DIR]}" && pwd)
OUT=${2:-$ROOT/docs}
TOOL=$BUILD/tests/crashreport/dialogs/dialog_screenshots.exe
[ -f "$TOOL" ] || { echo "build dialog_screenshots first" >&2; exit 1; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
"$ROOT/scripts/wine-env.sh" start
"$ROOT/scripts/wine-run.sh" "$TOOL" "Z:${WORK//\//\\}"
mkdir -p "$OUT"
for bmp in "$WORK"/*.bmp; do
  convert "$bmp" "$OUT/crashreport-$(basename "${bmp%.bmp}").png"
  echo "$OUT/crashreport-$(basename "${bmp%.bmp}").png"
done
