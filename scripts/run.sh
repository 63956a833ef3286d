#!/usr/bin/env bash
# Sets everything up, builds, registers the driver stand-in in the project's
# Wine prefix and starts Tavrix.exe: on your display when there is one, else
# on the project's Xvfb display (a screenshot of it is then written to
# build/tavrix-screen.png after a few seconds).
#
# The 32-bit program is started where the machine can run 32-bit programs,
# else the 64-bit one; TAVRIX_RUN_BITS=32 or 64 chooses.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TAVRIX_BUILD_DIR:-$ROOT/build}
USER_DISPLAY=${DISPLAY:-}
. "$ROOT/scripts/ia32.sh"
tavrix_ia32_check
"$ROOT/scripts/setup.sh"
BITS=${TAVRIX_RUN_BITS:-}
if [ -z "$BITS" ]; then
  if [ "$TAVRIX_IA32" = yes ]; then BITS=32; else BITS=64; fi
fi
case "$BITS" in
  32)
    if [ "$TAVRIX_IA32" = no ]; then
      cat >&2 <<MSG

The 32-bit Tavrix.exe cannot run on this machine.
  What is missing: Wine's 32-bit part, which runs 32-bit Windows programs
    such as the 32-bit Tavrix.exe and its driver Dravix.dll.
  Why: the Linux kernel runs without IA-32 emulation, so no 32-bit program
    starts here ("Exec format error").
  What you can do: run the 64-bit Tavrix.exe (TAVRIX_RUN_BITS=64, the
    default here), boot the kernel with ia32_emulation=on, or use another
    x86-64 Linux machine whose kernel runs 32-bit programs.
MSG
      exit 3
    fi
    export TAVRIX_WINE_ARCH=win32
    TREE=win
    ;;
  64)
    export TAVRIX_WINE_ARCH=win64
    TREE=win64
    ;;
  *)
    echo "TAVRIX_RUN_BITS must be 32 or 64, not '$BITS'" >&2
    exit 2
    ;;
esac
[ "$TAVRIX_IA32" = yes ] || echo "Starting the 64-bit Tavrix.exe: $TAVRIX_IA32_REASON." >&2
"$ROOT/scripts/build.sh"
"$ROOT/scripts/wine-env.sh" start
eval "$("$ROOT/scripts/wine-env.sh" env)"
export LANG=${TAVRIX_WINE_LANG:-ru_RU.UTF-8} LC_ALL=${TAVRIX_WINE_LANG:-ru_RU.UTF-8}

DLL=$BUILD/$TREE/driver/Dravix.dll
"$TAVRIX_WINE" regsvr32 /s "Z:${DLL//\//\\}"

if [ -n "$USER_DISPLAY" ]; then
  echo "Starting the $BITS-bit Tavrix.exe on display $USER_DISPLAY"
  # A desktop has a window manager: let it frame and move the windows.
  "$TAVRIX_WINE" reg delete 'HKCU\Software\Wine\X11 Driver' /v Managed /f >/dev/null 2>&1 || true
  DISPLAY=$USER_DISPLAY exec "$TAVRIX_WINE" "$BUILD/$TREE/Tavrix.exe"
else
  echo "No display: starting the $BITS-bit Tavrix.exe on the project's Xvfb display $DISPLAY"
  "$TAVRIX_WINE" "$BUILD/$TREE/Tavrix.exe" &
  pid=$!
  sleep 6
  import -window root "$BUILD/tavrix-screen.png" && echo "Screenshot: $BUILD/tavrix-screen.png"
  wait $pid
fi
