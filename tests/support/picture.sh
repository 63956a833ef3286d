# Sourced by the scripts that picture the program's windows for the
# documentation (tests/devices/screenshot.sh, tests/app/journal-screenshot.sh).
#   picture_prepare BUILD_DIR SETTINGS_KEY   the test prefix and display
#       started, the build's driver stand-in registered with a fresh device
#       store under HKCU\SETTINGS_KEY (exported as DRAVIX_SETTINGS_KEY);
#       sets WORK, a temporary folder removed at exit
#   picture_save BMP OUT.png                 converts the capture
PICTURE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

picture_prepare() {
  local build=$1 key=$2
  local dll=$build/driver/Dravix.dll
  [ -f "$dll" ] || { echo "build Dravix first" >&2; exit 1; }
  WORK=$(mktemp -d)
  trap 'rm -rf "$WORK"' EXIT
  "$PICTURE_ROOT/scripts/wine-env.sh" start
  export DRAVIX_SETTINGS_KEY=$key
  "$PICTURE_ROOT/scripts/wine-run.sh" reg delete "HKCU\\$key" /f >/dev/null 2>&1 || true
  "$PICTURE_ROOT/scripts/wine-run.sh" regsvr32 /s "Z:${dll//\//\\}"
}

picture_save() {
  mkdir -p "$(dirname "$2")"
  convert "$1" "$2"
  echo "$2"
}
