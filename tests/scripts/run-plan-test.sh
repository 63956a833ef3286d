#!/usr/bin/env bash
# run-plan-test.sh WIN64_TREE
#
# What scripts/run.sh builds and how it starts Wine, from its plan
# (TAVRIX_RUN_PLAN=1): only the tool and the driver stand-in, whose build
# (read from the configured 64-bit tree's ninja graph) holds no test,
# benchmark or fuzz program; and a locale that is not generated is said in
# its own words, without the shell's setlocale warnings.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
TREE=$1
fail() { echo "FAIL: $*" >&2; exit 1; }
[ -f "$TREE/build.ninja" ] || fail "no configured tree in $TREE"
[ "$(basename "$TREE")" = win64 ] || fail "the 64-bit tree must be a folder named win64 ($TREE)"

plan() { TAVRIX_RUN_PLAN=1 TAVRIX_RUN_BITS=64 TAVRIX_BUILD_DIR=$(dirname "$TREE") "$ROOT/scripts/run.sh" "$@"; }

out=$(plan 2>/dev/null)
targets=$(sed -n 's/^targets: //p' <<<"$out")
[ -n "$targets" ] || fail "no targets in the plan: $out"
# shellcheck disable=SC2086
commands=$(ninja -C "$TREE" -t commands $targets)
grep -q 'Tavrix.exe' <<<"$commands" || fail "the plan does not build Tavrix.exe"
grep -q 'Dravix.dll' <<<"$commands" || fail "the plan does not build Dravix.dll"
# The same question of a test target, so that the check can tell.
# (Read whole first: grep -q would close the pipe early, and under pipefail
# ninja's broken pipe would count as a failure now and then.)
testCommands=$(ninja -C "$TREE" -t commands journal_test)
grep -q -- '-o tests/' <<<"$testCommands" || fail "cannot tell tests in the graph"
if grep -E -- '-o (tests|bench)/' <<<"$commands" | head -3 | grep .; then
  fail "the plan builds test or benchmark programs"
fi

err=$(TAVRIX_WINE_LANG=xx_XX.UTF-8 plan 2>&1 >/dev/null)
grep -q 'xx_XX.UTF-8 is not generated' <<<"$err" || fail "a missing locale is not said: $err"
if grep -qi 'setlocale\|cannot change locale' <<<"$err"; then fail "the shell warns: $err"; fi
grep -q '^wine locale: xx_XX.UTF-8$' <<<"$(TAVRIX_WINE_LANG=xx_XX.UTF-8 plan 2>/dev/null)" ||
  fail "Wine is not given the chosen locale"
if locale -a 2>/dev/null | grep -qix 'ru_RU.utf8'; then
  err=$(plan 2>&1 >/dev/null)
  if grep -q 'is not generated' <<<"$err"; then fail "ru_RU.UTF-8 is generated, yet: $err"; fi
fi
echo "run.sh builds: $targets; a missing locale is said once"
