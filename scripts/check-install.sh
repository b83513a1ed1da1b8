#!/usr/bin/env bash
# Installs the project into a temporary prefix, builds the example consumer
# against it with find_package and with pkg-config, and runs each against the
# installed sender on a private channel.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
work=$(mktemp -d "${TMPDIR:-/tmp}/telvane-install-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --preset release >/dev/null
cmake --build --preset release
cmake --install build-release --prefix "$prefix"

cmake -S examples/consumer -B "$work/with-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/with-cmake"
mkdir -p "$work/with-pkg-config"
pc_dir=$(dirname "$(find "$prefix" -name telvane.pc)")
PKG_CONFIG_PATH="$pc_dir" make -C examples/consumer OUT="$work/with-pkg-config/consumer"

expected='stream 3 "today" 0.1: 2 3 5 8 13 21 34 55 89 44
stream 0 "today" 0.1: 0 1 1 2 3 5 8 13 21 34'
for consumer in "$work/with-cmake/consumer" "$work/with-pkg-config/consumer"; do
  export TELVANE_CHANNEL="$work/channel"
  printf 'Send Stream 3\nhello\nExit\n' | "$prefix/bin/sender" >/dev/null
  got=$(timeout 10 "$consumer" 2)
  rm -f "$TELVANE_CHANNEL"
  if [ "$got" != "$expected" ]; then
    echo "check-install: $consumer printed:" >&2
    echo "$got" >&2
    exit 1
  fi
  echo "check-install: $consumer took the installed sender's streams"
done
"$prefix/bin/telvane-channel" --help >/dev/null
echo "check-install: passed"
