#!/usr/bin/env bash
# with-com-pair.sh A B -- command [args...]
#
# Runs a command with a serial line between COM<A> and COM<B> of the test
# Wine prefix: a pseudo-terminal pair made by socat, each end linked as
# $WINEPREFIX/dosdevices/com<A> and com<B>. Whatever is written to one port
# arrives at the other. Use numbers from 10 up (wineboot recreates com1).
# The links, socat and its ptys are removed when the command ends, also when
# it fails or is interrupted; the command's exit status is returned.
# Runs that use the same pair wait for each other.
#
# The prefix is that of scripts/wine-env.sh for TAVRIX_WINE_ARCH (the
# 32-bit one unless it says win64; see scripts/wine-arch.sh).
# Example: with-com-pair.sh 11 12 -- scripts/wine-run.sh test.exe
set -euo pipefail

usage() {
  echo "usage: $0 A B -- command [args...]" >&2
  exit 2
}
[ $# -ge 4 ] || usage
A=$1
B=$2
[ "$3" = "--" ] || usage
shift 3
[[ $A =~ ^[0-9]+$ && $B =~ ^[0-9]+$ && $A != "$B" ]] || usage

. "$(dirname "$0")/../../scripts/wine-arch.sh"
DOS=$WINEPREFIX/dosdevices
mkdir -p "$DOS"

# One user of a pair at a time (the lock is not passed on to the command).
exec 8>"$DOS/.com-pair-$A-$B.lock"
flock 8

WORK=$(mktemp -d)
SOCAT_PID=
cleanup() {
  if [ -n "$SOCAT_PID" ]; then
    kill "$SOCAT_PID" 2>/dev/null || true
    wait "$SOCAT_PID" 2>/dev/null || true
  fi
  rm -f "$DOS/com$A" "$DOS/com$B"
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

socat -d -d "pty,raw,echo=0,link=$WORK/a" "pty,raw,echo=0,link=$WORK/b" 2>"$WORK/socat.log" 8>&- &
SOCAT_PID=$!

for _ in $(seq 100); do
  [ -e "$WORK/a" ] && [ -e "$WORK/b" ] && break
  kill -0 "$SOCAT_PID" 2>/dev/null || break
  sleep 0.05
done
if ! [ -e "$WORK/a" ] || ! [ -e "$WORK/b" ]; then
  echo "with-com-pair: socat did not create the pty pair:" >&2
  cat "$WORK/socat.log" >&2
  exit 1
fi

ln -sfn "$(readlink -f "$WORK/a")" "$DOS/com$A"
ln -sfn "$(readlink -f "$WORK/b")" "$DOS/com$B"

status=0
"$@" 8>&- || status=$?
exit $status
