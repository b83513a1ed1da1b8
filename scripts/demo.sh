#!/usr/bin/env bash
# Builds the two programs and shows them at work: a reader on a fresh private
# channel, a sender fed a handful of commands, and both outputs. Leaves no
# process and no channel behind, also when interrupted.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset default >/dev/null
cmake --build --preset default --target sender reader >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/telvane-demo-XXXXXX")
export TELVANE_CHANNEL="$work/channel"
reader_pid=""

cleanup() {
  if [ -n "$reader_pid" ]; then
    kill "$reader_pid" 2>/dev/null || true
    wait "$reader_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

build/reader/reader >"$work/reader.out" 2>&1 &
reader_pid=$!

commands=$'Send Stream 3\nSend Stream 7\nSend Stream 10\nhello there\nSend Stream -3\nExit'
streams=5
printf '%s\n' "$commands" | build/sender/sender >"$work/sender.out" 2>&1

# The reader prints two lines per stream; wait for all of them.
for _ in $(seq 100); do
  [ "$(wc -l <"$work/reader.out")" -ge $((2 * streams)) ] && break
  sleep 0.1
done

printed=$(wc -l <"$work/reader.out")
kill "$reader_pid"
wait "$reader_pid" 2>/dev/null || true
reader_pid=""

echo "== sender (channel $TELVANE_CHANNEL) =="
cat "$work/sender.out"
echo
echo "== reader =="
cat "$work/reader.out"

if [ "$printed" -lt $((2 * streams)) ]; then
  echo "demo: the reader printed $printed of $((2 * streams)) lines" >&2
  exit 1
fi
