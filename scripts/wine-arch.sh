# Sourced by the Wine scripts: which of the project's two Wine environments
# a command uses, chosen by TAVRIX_WINE_ARCH.
#
#   win32 (default)  the 32-bit programs: prefix $TAVRIX_CACHE/wineprefix
#                    (WINEARCH=win32), run directory $TAVRIX_CACHE/run, the
#                    32-bit loader; needs IA-32 emulation (scripts/ia32.sh).
#   win64            the 64-bit programs: prefix $TAVRIX_CACHE/wineprefix64
#                    (WINEARCH=win64), run directory $TAVRIX_CACHE/run64,
#                    Wine's 64-bit loader; starts on any x86-64 machine.
#
# Each has its own prefix, Xvfb display and wineserver, so the two test
# trees never stop each other's environment and can run side by side. The
# 32-bit prefix stays exactly the win32 prefix it always was; a win64 prefix
# is the only kind the 64-bit loader can start on a kernel without IA-32
# emulation. TAVRIX_WINEPREFIX / TAVRIX_RUN_DIR (and ...64) override the
# places.
. "$(dirname "${BASH_SOURCE[0]}")/ia32.sh"

TAVRIX_CACHE_DIR=${TAVRIX_CACHE:-$HOME/.cache/tavrix}
case "${TAVRIX_WINE_ARCH:-win32}" in
  win32)
    export TAVRIX_WINE_ARCH=win32 WINEARCH=win32
    export WINEPREFIX=${TAVRIX_WINEPREFIX:-$TAVRIX_CACHE_DIR/wineprefix}
    RUN_DIR=${TAVRIX_RUN_DIR:-$TAVRIX_CACHE_DIR/run}
    # Debian's wrapper: the 32-bit loader.
    WINE=wine
    ;;
  win64)
    export TAVRIX_WINE_ARCH=win64 WINEARCH=win64
    export WINEPREFIX=${TAVRIX_WINEPREFIX64:-$TAVRIX_CACHE_DIR/wineprefix64}
    RUN_DIR=${TAVRIX_RUN_DIR64:-$TAVRIX_CACHE_DIR/run64}
    # Debian's wrapper prefers the 32-bit loader whenever wine32 is
    # installed; the 64-bit one is named, and Wine starts its helpers with it.
    WINE=/usr/lib/wine/wine64
    export WINELOADER=$WINE
    ;;
  *)
    echo "TAVRIX_WINE_ARCH must be win32 or win64, not '$TAVRIX_WINE_ARCH'" >&2
    exit 2
    ;;
esac

# Ends the calling script as a skipped test when this environment can't run
# here: only the 32-bit one needs IA-32 emulation.
tavrix_skip_unless_wine_runs() {
  if [ "$TAVRIX_WINE_ARCH" = win32 ]; then
    tavrix_skip_without_ia32
  fi
}
