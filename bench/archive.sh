#!/usr/bin/env bash
# Measures sfextcap's sfarchive capture against its floor, tail -F: GATEWAYS
# logs in a folder, each then appended a log of LINES lines of 28-byte packets
# at once, as a collector that catches up writes; the time from the appends
# until the capture holds every packet (pcapng, into a file instead of
# Wireshark's FIFO), and until tail -F has passed on every line.
#   bench/archive.sh [GATEWAYS [LINES]]   (defaults: 20, 200000)
set -euo pipefail
cd "$(dirname "$0")/.."
gateways=${1:-20}
lines=${2:-200000}

[ -f build/CMakeCache.txt ] || cmake -S . -B build >/dev/null
cmake --build build -j --target sfextcap make_log >/dev/null

work=$(mktemp -d)
follower=
cleanup() {
  [ -n "$follower" ] && kill "$follower" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

build/bench/make_log "$lines" 28 >"$work/one.log"
log_bytes=$(stat -c %s "$work/one.log")
cat "$work/one.log" >/dev/null  # in the page cache

# Starts a follower of the folder; appends the log to every gateway once it
# has settled, and prints the seconds until OUT holds BYTES more than before.
timed() {
  local out=$1 bytes=$2
  sleep 1
  local before begin now
  before=$(stat -c %s "$out")
  begin=$(date +%s.%N)
  for ((g = 1; g <= gateways; g++)); do cat "$work/one.log" >>"$work/central/gw$g.log"; done
  until [ "$(stat -c %s "$out")" -ge $((before + bytes)) ]; do
    sleep 0.01
    now=$(date +%s.%N)
    awk -v b="$begin" -v n="$now" 'BEGIN { exit !(n - b > 600) }' && { echo "bench: $out stalled" >&2; exit 1; }
  done
  now=$(date +%s.%N)
  kill "$follower"
  wait "$follower" 2>/dev/null || true
  follower=
  awk -v b="$begin" -v n="$now" 'BEGIN { print n - b }'
}

fresh() {
  rm -rf "$work/central" "$work/out"
  mkdir "$work/central"
  for ((g = 1; g <= gateways; g++)); do : >"$work/central/gw$g.log"; done
  : >"$work/out"
}

fresh
build/pcap/sfextcap --capture --extcap-interface sfarchive --fifo "$work/out" --archive "$work/central" &
follower=$!
capture=$(timed "$work/out" $((gateways * lines * 60)))  # an enhanced packet block of 28 bytes: 60

fresh
tail -q -n0 -F "$work"/central/*.log >"$work/out" 2>/dev/null &
follower=$!
floor=$(timed "$work/out" $((gateways * log_bytes)))

total=$((gateways * lines))
echo "$gateways gateways, $lines lines each appended at once ($((gateways * log_bytes / 1000000)) MB of log):"
awk -v n="$total" -v mb="$((gateways * log_bytes))" -v c="$capture" -v f="$floor" 'BEGIN {
  printf "%-32s %10s %14s %10s\n", "", "seconds", "lines/s", "MB/s"
  printf "%-32s %10.2f %14.0f %10.0f\n", "sfextcap sfarchive (pcapng)", c, n / c, mb / 1e6 / c
  printf "%-32s %10.2f %14.0f %10.0f\n", "tail -F (floor)", f, n / f, mb / 1e6 / f
}'
