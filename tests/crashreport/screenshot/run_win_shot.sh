#!/usr/bin/env bash
# Runs the Windows screenshot test under Wine, then decodes the PNG files it
# left behind with the independent decoder (Python's zlib, pngcheck).
#   run_win_shot.sh OUT_DIR PYTHON CHECKER PNGCHECK PROGRAM
set -euo pipefail
out=$1 python=$2 checker=$3 pngcheck=$4 program=$5
rm -rf "$out"
mkdir -p "$out"
# Wine maps drive Z: to the Unix root.
export SHOT_OUT_DIR="Z:${out//\//\\}"
"$(dirname "$0")/../../../scripts/wine-run.sh" "$program"
"$python" "$checker" --pngcheck "$pngcheck" --min-files 4 "$out"
