#!/usr/bin/env bash
# journal-test.sh A B -- command [args...]
#
# Runs the journal's end-to-end test program inside a serial pair COM<A> and
# COM<B> (with-com-pair.sh), with TAVRIX_JOURNAL_OUT naming a folder for the
# CSV files it saves through the journal window; then reads each of them
# back with Python's csv module and compares its rows with those the
# program took from the window (check_journal_csv.py).
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
[ $# -ge 4 ] && [ "$3" = "--" ] || { echo "usage: $0 A B -- command [args...]" >&2; exit 2; }

OUT=$(mktemp -d)
trap 'rm -rf "$OUT"' EXIT
export TAVRIX_JOURNAL_OUT=$OUT

status=0
"$HERE/../support/with-com-pair.sh" "$@" || status=$?
# A program that failed or was skipped is the verdict; its files are not.
[ "$status" -eq 0 ] || exit "$status"
python3 "$HERE/check_journal_csv.py" "$OUT"
