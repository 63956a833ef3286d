#!/usr/bin/env bash
# Sets everything up, builds what it starts (Tavrix.exe and the driver
# stand-in Dravix.dll of one bitness, with the build tool they need; the
# tests are scripts/test.sh's), registers the stand-in in the project's Wine
# prefix and starts Tavrix.exe: on your display when there is one, else on
# the project's Xvfb display (a screenshot of it is then written to
# build/tavrix-screen.png after a few seconds).
#
# The 32-bit program is started where the machine can run 32-bit programs,
# else the 64-bit one; TAVRIX_RUN_BITS=32 or 64 chooses. With
# TAVRIX_RUN_PLAN=1 it only prints what it would build and with which
# locale Wine would start, and does nothing.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TAVRIX_BUILD_DIR:-$ROOT/build}
USER_DISPLAY=${DISPLAY:-}
PLAN=${TAVRIX_RUN_PLAN:-}
. "$ROOT/scripts/ia32.sh"
tavrix_ia32_check
[ -n "$PLAN" ] || "$ROOT/scripts/setup.sh"
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
    TOOLCHAIN=mingw-i686.cmake
    ;;
  64)
    export TAVRIX_WINE_ARCH=win64
    TREE=win64
    TOOLCHAIN=mingw-x86_64.cmake
    ;;
  *)
    echo "TAVRIX_RUN_BITS must be 32 or 64, not '$BITS'" >&2
    exit 2
    ;;
esac
[ "$TAVRIX_IA32" = yes ] || echo "Starting the 64-bit Tavrix.exe: $TAVRIX_IA32_REASON." >&2

# Wine takes its ANSI code page from the locale: ru_RU gives 1251, which the
# tool's Russian texts need. setup.sh generates it; a locale that is still
# missing is said once here, and the shell itself never switches to it (bash
# would warn on every assignment), only Wine's environment names it.
WINE_LANG=${TAVRIX_WINE_LANG:-ru_RU.UTF-8}
normalized=$(printf '%s' "$WINE_LANG" | tr 'A-Z' 'a-z' | sed 's/utf-8$/utf8/')
if ! locale -a 2>/dev/null | tr 'A-Z' 'a-z' | grep -qx "$normalized"; then
  echo "The locale $WINE_LANG is not generated here, so Wine's ANSI code page will not be 1251" \
    "and Russian texts in ANSI form will be garbled; generate it (scripts/setup.sh does," \
    "or: sudo locale-gen $WINE_LANG)." >&2
fi
TARGETS=(Tavrix Dravix)
if [ -n "$PLAN" ]; then
  echo "tree: $BUILD/$TREE"
  echo "targets: ${TARGETS[*]}"
  echo "wine locale: $WINE_LANG"
  exit 0
fi

[ -f "$BUILD/$TREE/build.ninja" ] ||
  cmake -S "$ROOT" -B "$BUILD/$TREE" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$TOOLCHAIN" >/dev/null
cmake --build "$BUILD/$TREE" -j "${TAVRIX_JOBS:-$(nproc)}" --target "${TARGETS[@]}"
TAVRIX_WINE_LANG=$WINE_LANG "$ROOT/scripts/wine-env.sh" start
eval "$("$ROOT/scripts/wine-env.sh" env)"
wine_run() { env LANG="$WINE_LANG" LC_ALL="$WINE_LANG" "$@"; }

DLL=$BUILD/$TREE/driver/Dravix.dll
wine_run "$TAVRIX_WINE" regsvr32 /s "Z:${DLL//\//\\}"

if [ -n "$USER_DISPLAY" ]; then
  echo "Starting the $BITS-bit Tavrix.exe on display $USER_DISPLAY"
  # A desktop has a window manager: let it frame and move the windows.
  wine_run "$TAVRIX_WINE" reg delete 'HKCU\Software\Wine\X11 Driver' /v Managed /f >/dev/null 2>&1 || true
  DISPLAY=$USER_DISPLAY exec env LANG="$WINE_LANG" LC_ALL="$WINE_LANG" "$TAVRIX_WINE" "$BUILD/$TREE/Tavrix.exe"
else
  echo "No display: starting the $BITS-bit Tavrix.exe on the project's Xvfb display $DISPLAY"
  wine_run "$TAVRIX_WINE" "$BUILD/$TREE/Tavrix.exe" &
  pid=$!
  sleep 6
  import -window root "$BUILD/tavrix-screen.png" && echo "Screenshot: $BUILD/tavrix-screen.png"
  wait $pid
fi
