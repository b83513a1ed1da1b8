#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for SECONDS (default 60) from a
# copy of its seed corpus. A crash leaves its input in build-fuzz/findings/;
# add it to tests/fuzz/regressions/<target>/ once it is fixed.
set -euo pipefail
seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --workflow --preset fuzz >/dev/null
mkdir -p build-fuzz/findings
for target in channel commands; do
  corpus=$(mktemp -d)
  cp "tests/fuzz/corpus/$target/." "$corpus" -r
  echo "fuzz: $target for $seconds s"
  build-fuzz/tests/fuzz/fuzz_$target -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix=build-fuzz/findings/ -max_len=70000 "$corpus" 2>&1 |
    grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb|Done|==[0-9]+==ERROR|SUMMARY)" || true
  rm -rf "$corpus"
  if ls build-fuzz/findings/* >/dev/null 2>&1; then
    echo "fuzz: $target found a failing input: $(ls build-fuzz/findings)" >&2
    exit 1
  fi
done
