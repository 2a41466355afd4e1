#!/usr/bin/env bash
# Converts packet logs into pcap files with sflog2pcap and with text2pcap
# (Wireshark's converter, given a regular expression for the log's lines):
# both on the same log of SAME packets, side by side, and sflog2pcap alone on
# a log of PACKETS packets, since text2pcap's time grows with the square of
# the log's length. Prints MB of log a second, best of RUNS runs.
#   bench/pcap.sh [PACKETS [SAME [RUNS]]]   (defaults: 1000000, 16000, 3; 28-byte packets)
set -euo pipefail
cd "$(dirname "$0")/.."
packets=${1:-1000000}
same=${2:-16000}
runs=${3:-3}
command -v text2pcap >/dev/null || { echo "bench: no text2pcap (Debian: wireshark-common)" >&2; exit 1; }

[ -f build/CMakeCache.txt ] || cmake -S . -B build >/dev/null
cmake --build build -j --target sflog2pcap make_log >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source bench/best.sh

report() {
  awk -v n="$1" -v b="$2" -v t="$3" 'BEGIN { printf "%-30s %8.3f s %8.1f MB/s\n", n, t, b / 1e6 / t }'
}

build/bench/make_log "$same" 28 >"$work/same.log"
bytes=$(stat -c %s "$work/same.log")
ours=$(best "$runs" build/pcap/sflog2pcap "$work/same.log" "$work/ours.pcap")
theirs=$(best "$runs" text2pcap --log-level critical -q -F pcap -l 147 -t '%s.%f' \
  -r '^(?<time>\d+\.\d+) (?<data>[0-9a-f ]*)$' "$work/same.log" "$work/theirs.pcap")
cmp -s <(tshark -r "$work/ours.pcap" -T fields -e frame.time_epoch -e data 2>/dev/null) \
  <(tshark -r "$work/theirs.pcap" -T fields -e frame.time_epoch -e data 2>/dev/null) ||
  { echo "bench: the two converters disagree" >&2; exit 1; }
echo "best of $runs runs, packets of 28 bytes:"
report "sflog2pcap, $same packets" "$bytes" "$ours"
report "text2pcap, $same packets" "$bytes" "$theirs"
awk -v o="$ours" -v t="$theirs" 'BEGIN { printf "sflog2pcap is %.0f times as fast on the same log\n", t / o }'

build/bench/make_log "$packets" 28 >"$work/big.log"
report "sflog2pcap, $packets packets" "$(stat -c %s "$work/big.log")" \
  "$(best "$runs" build/pcap/sflog2pcap "$work/big.log" "$work/ours.pcap")"
