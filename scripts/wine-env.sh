#!/usr/bin/env bash
# The project's Wine environment: its own prefix (never ~/.wine), an Xvfb
# display and a persistent wineserver, so that test programs start fast.
#   wine-env.sh start   create the prefix on demand, start Xvfb and wineserver
#   wine-env.sh stop    stop both
#   wine-env.sh env     print the variables to eval in a shell
set -euo pipefail
# TAVRIX_WINE_ARCH (win32, the default, or win64) picks the environment of
# the 32-bit or the 64-bit programs (scripts/wine-arch.sh).
. "$(dirname "$0")/wine-arch.sh"

export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
mkdir -p "$RUN_DIR"

log() { printf '[wine-env] %s\n' "$*" >&2; }

ensure_prefix() {
  if [ ! -f "$WINEPREFIX/.tavrix-ready" ]; then
    log "creating the Wine prefix $WINEPREFIX (about 20 s, once)"
    rm -rf "$WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    DISPLAY= "$WINE" wineboot -i >/dev/null 2>&1 9>&- || true
    wineserver -w
    touch "$WINEPREFIX/.tavrix-ready"
  fi
  # Settings of the prefix; the stamp's number changes when they do.
  if [ ! -f "$WINEPREFIX/.tavrix-settings-1" ]; then
    # Wine's own crash dialog would stand in front of the program's crash reporter.
    DISPLAY= "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1 9>&-
    # Let that display-less server and its services end: made persistent
    # below, it would keep a desktop without a display, and no window opens.
    wineserver -w
    touch "$WINEPREFIX/.tavrix-settings-1"
  fi
  # Wine's own fonts (Debian's fonts-wine) are looked up only in the prefix:
  # without them every face falls back to a wider one and labels are clipped.
  if [ -d /usr/share/wine/fonts ] && [ ! -f "$WINEPREFIX/.tavrix-fonts-1" ]; then
    cp -n /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    touch "$WINEPREFIX/.tavrix-fonts-1"
  fi
}

xvfb_alive() {
  [ -f "$RUN_DIR/xvfb.pid" ] && kill -0 "$(cat "$RUN_DIR/xvfb.pid")" 2>/dev/null
}

start_xvfb() {
  if xvfb_alive; then return; fi
  # Xvfb picks a free display itself and writes its number once it accepts
  # connections: the two environments start side by side, and a number
  # chosen here by looking for lock files could be taken by both.
  rm -f "$RUN_DIR/display" "$RUN_DIR/displayfd"
  setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp </dev/null \
    >"$RUN_DIR/xvfb.log" 2>&1 3>"$RUN_DIR/displayfd" 9>&- &
  local pid=$!
  echo "$pid" >"$RUN_DIR/xvfb.pid"
  local n=
  for _ in $(seq 200); do
    n=$(tr -dc 0-9 <"$RUN_DIR/displayfd")
    [ -n "$n" ] && break
    if ! kill -0 "$pid" 2>/dev/null; then
      log "Xvfb did not start: $(tail -n 3 "$RUN_DIR/xvfb.log")"
      exit 1
    fi
    sleep 0.05
  done
  if [ -z "$n" ]; then
    log "Xvfb gave no display number within 10 s"
    exit 1
  fi
  echo ":$n" >"$RUN_DIR/display"
  log "Xvfb on :$n"
}

case "${1:-}" in
  start)
    tavrix_skip_unless_wine_runs
    exec 9>"$RUN_DIR/lock"
    flock 9
    ensure_prefix
    start_xvfb
    export DISPLAY=$(cat "$RUN_DIR/display")
    setsid -f wineserver -p </dev/null >/dev/null 2>&1 9>&-
    # Xvfb has no window manager, and Wine waits about 2 s for one whenever a
    # managed window is hidden or destroyed; unmanaged windows don't wait.
    # (scripts/run.sh puts management back for a desktop display.)
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f </dev/null >/dev/null 2>&1 9>&- || true
    # Start Wine's own services now, detached from our output: a test program
    # that started them would pass its stdout to them, and ctest would wait
    # for that pipe until they exit.
    LANG=${TAVRIX_WINE_LANG:-ru_RU.UTF-8} "$WINE" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
    ;;
  stop)
    tavrix_skip_unless_wine_runs
    wineserver -k 2>/dev/null || true
    if xvfb_alive; then kill "$(cat "$RUN_DIR/xvfb.pid")"; fi
    rm -f "$RUN_DIR/xvfb.pid" "$RUN_DIR/display"
    ;;
  env)
    echo "export WINEPREFIX='$WINEPREFIX' WINEDEBUG='$WINEDEBUG' WINEDLLOVERRIDES='$WINEDLLOVERRIDES' WINEARCH=$WINEARCH"
    # The loader to start programs with ("$TAVRIX_WINE" prog.exe).
    echo "export TAVRIX_WINE='$WINE'"
    if [ "$WINEARCH" = win64 ]; then echo "export WINELOADER='$WINELOADER'"; fi
    [ -f "$RUN_DIR/display" ] && echo "export DISPLAY='$(cat "$RUN_DIR/display")'"
    ;;
  *)
    echo "usage: $0 start|stop|env" >&2
    exit 2
    ;;
esac
