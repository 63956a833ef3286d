#!/usr/bin/env bash
# Fails, naming the places, when a C++ source of the project differs from
# what clang-format makes of it (.clang-format). Fix with:
#   git ls-files '*.cpp' '*.h' | xargs clang-format -i
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror
