#!/usr/bin/env bash
# Sends a 1 MB report's archive over SMTP to a loopback server, with the
# crash reporter's client and with curl, and prints both times:
#   bench/crashreport/send/run.sh [build-dir]   (default build/win64)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../../.." && pwd)
BUILD=${1:-$ROOT/build/win64}
export TAVRIX_WINE_ARCH=${TAVRIX_WINE_ARCH:-win64}
exec "$ROOT/tests/support/with-loopback-servers.sh" -- bash -c '
  set -euo pipefail
  out=$(mktemp -d)
  "$0/scripts/wine-run.sh" "$1/bench/crashreport/send/SendBench.exe" "Z:${out//\//\\}" "$TAVRIX_SMTP_PORT"
  start=$(date +%s%N)
  curl -s "smtp://127.0.0.1:$TAVRIX_SMTP_PORT" --mail-from reporter@tavrix.test \
    --mail-rcpt dev@example.test -T "$out/message.eml"
  end=$(date +%s%N)
  echo "curl SMTP send: $(( (end - start) / 1000000 )) ms (the same message, $(stat -c %s "$out/message.eml") bytes; process start included)"
  echo "messages the server accepted: $(ls "$TAVRIX_MAIL_DIR" | wc -l)"
' "$ROOT" "$BUILD"
