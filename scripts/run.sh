#!/usr/bin/env bash
# Sets everything up, builds, registers the driver stand-in in the project's
# Wine prefix and starts Tavrix.exe: on your display when there is one, else
# on the project's Xvfb display (a screenshot of it is then written to
# build/tavrix-screen.png after a few seconds).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TAVRIX_BUILD_DIR:-$ROOT/build}
USER_DISPLAY=${DISPLAY:-}
. "$ROOT/scripts/ia32.sh"
tavrix_ia32_check
"$ROOT/scripts/setup.sh"
if [ "$TAVRIX_IA32" = no ]; then
  # Stop before the build: nothing it makes could be started here.
  cat >&2 <<MSG

Tavrix.exe cannot run on this machine.
  What is missing: Wine's 32-bit part, which runs 32-bit Windows programs
    such as Tavrix.exe and the driver Dravix.dll.
  Why: the Linux kernel runs without IA-32 emulation, so no 32-bit program
    starts here ("Exec format error").
  What you can do: boot the kernel with ia32_emulation=on (or one built
    with IA-32 emulation enabled), or use another x86-64 Linux machine whose
    kernel runs 32-bit programs. scripts/test.sh still builds everything
    here and runs the tests that need no Wine.
MSG
  exit 3
fi
"$ROOT/scripts/build.sh"
"$ROOT/scripts/wine-env.sh" start
eval "$("$ROOT/scripts/wine-env.sh" env)"
export LANG=${TAVRIX_WINE_LANG:-ru_RU.UTF-8} LC_ALL=${TAVRIX_WINE_LANG:-ru_RU.UTF-8}

wine regsvr32 /s "$(winepath -w "$BUILD/win/driver/Dravix.dll")"

if [ -n "$USER_DISPLAY" ]; then
  echo "Starting Tavrix.exe on display $USER_DISPLAY"
  # A desktop has a window manager: let it frame and move the windows.
  wine reg delete 'HKCU\Software\Wine\X11 Driver' /v Managed /f >/dev/null 2>&1 || true
  DISPLAY=$USER_DISPLAY exec wine "$BUILD/win/Tavrix.exe"
else
  echo "No display: starting Tavrix.exe on the project's Xvfb display $DISPLAY"
  wine "$BUILD/win/Tavrix.exe" &
  pid=$!
  sleep 6
  import -window root "$BUILD/tavrix-screen.png" && echo "Screenshot: $BUILD/tavrix-screen.png"
  wait $pid
fi
