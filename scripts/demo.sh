#!/usr/bin/env bash
# Installs what the build lacks, builds sflogger and sfreplay, replays
# examples/sample.log with sfreplay on a free port, logs it with sflogger into
# a temporary file and prints that log.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages cmake make g++ pkgconf zlib1g-dev liblzma-dev libzstd-dev libbz2-dev

# The demo needs no GoogleTest; a build directory the tests configured keeps its settings.
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j --target sflogger sfreplay >/dev/null

work=$(mktemp -d)
replay_pid=
cleanup() {
  [ -n "$replay_pid" ] && kill "$replay_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

exec {replay_out}< <(exec build/replay/sfreplay -1 0 examples/sample.log)
replay_pid=$!
read -r -t 10 -u "$replay_out" line || { echo "demo: sfreplay did not start" >&2; exit 1; }
port=${line##*:}
echo "$line; logging it with sflogger" >&2

build/logger/sflogger 127.0.0.1 "$port" "$work/packets.log"
wait "$replay_pid"
replay_pid=
cat "$work/packets.log"
