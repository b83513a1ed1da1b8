#!/usr/bin/env bash
# Builds the release tree and runs every benchmark: the channel against its
# peers between two processes, idle cost, end to end against the reader's
# output limit, memory, and the generator. --quick runs each once, briefly,
# to show that they build and run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
echo "# Telvane benchmarks, $(date -u +%Y-%m-%d), $(nproc) cores, $(uname -r)"
echo
if [ "${1:-}" = "--quick" ]; then
  build-release/bench/process_bench --quick build-release
  build-release/bench/generator_bench --benchmark_min_time=0.01
else
  build-release/bench/process_bench build-release
  echo
  echo "## Generator, one stream"
  echo
  build-release/bench/generator_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
fi
