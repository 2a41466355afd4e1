#!/usr/bin/env bash
# sflog2pcap merging many gateways' logs, side by side with its anchors:
#  1. 200 gateways' logs of PACKETS packets each merged into one pcapng file;
#     and 200 logs of SAME packets each merged by sflog2pcap and by text2pcap
#     per log plus mergecap -w over the results (text2pcap's time grows with
#     the square of a log's length, so it gets short logs), checked with
#     tshark to hold the same packets.
#  2. One minute out of an archive of 20 gateways of ARCHIVE packets each
#     (rising timestamps), with --since and --until, against awk comparing
#     each line's timestamp.
# Prints MB of log a second, best of RUNS runs (awk and the text2pcap
# pipeline: one run). 28-byte packets, about 103 bytes a line.
#   bench/merge.sh [PACKETS [SAME [ARCHIVE [RUNS]]]]   (defaults: 100000, 500, 4900000, 3)
set -euo pipefail
cd "$(dirname "$0")/.."
packets=${1:-100000}
same=${2:-500}
archive=${3:-4900000}
runs=${4:-3}
for tool in text2pcap mergecap tshark; do
  command -v $tool >/dev/null || { echo "bench: no $tool (Debian: wireshark-common, tshark)" >&2; exit 1; }
done

[ -f build/CMakeCache.txt ] || cmake -S . -B build >/dev/null
cmake --build build -j --target sflog2pcap make_log >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/gw" "$work/same" "$work/pcaps" "$work/archive"

source bench/best.sh

report() {
  awk -v n="$1" -v b="$2" -v t="$3" 'BEGIN { printf "%-52s %9.3f s %8.1f MB/s\n", n, t, b / 1e6 / t }'
}

bytes_of() { du -cb "$@" | tail -1 | cut -f1; }

# 1. Many gateways.
for ((g = 0; g < 200; g++)); do
  build/bench/make_log "$packets" 28 $((g * 4)) >"$work/gw/gw$g.log"
  build/bench/make_log "$same" 28 $((g * 4)) >"$work/same/gw$g.log"
done

text2pcap_and_mergecap() {
  for log in "$work"/same/*.log; do
    text2pcap --log-level critical -q -F pcapng -l 147 -t '%s.%f' \
      -r '^(?<time>\d+\.\d+) (?<data>[0-9a-f ]*)$' "$log" "$work/pcaps/$(basename "$log" .log).pcapng"
  done
  mergecap -w "$work/theirs.pcapng" "$work"/pcaps/*.pcapng
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "best of $runs runs (text2pcap + mergecap and awk: one run), packets of 28 bytes:"
ours_same=$(best "$runs" build/pcap/sflog2pcap -o "$work/ours.pcapng" "$work"/same/*.log)
theirs=$(best 1 text2pcap_and_mergecap)
cmp -s <(tshark -r "$work/ours.pcapng" -T fields -e frame.time_epoch -e data 2>/dev/null) \
  <(tshark -r "$work/theirs.pcapng" -T fields -e frame.time_epoch -e data 2>/dev/null) ||
  { echo "bench: sflog2pcap and text2pcap + mergecap disagree" >&2; exit 1; }
same_bytes=$(bytes_of "$work"/same/*.log)
report "sflog2pcap, 200 logs of $same packets" "$same_bytes" "$ours_same"
report "text2pcap per log + mergecap -w, the same logs" "$same_bytes" "$theirs"
awk -v o="$ours_same" -v t="$theirs" 'BEGIN { printf "sflog2pcap is %.0f times as fast on the same logs\n", t / o }'
gw_bytes=$(bytes_of "$work"/gw/*.log)
report "sflog2pcap, 200 logs of $packets packets" "$gw_bytes" \
  "$(best "$runs" build/pcap/sflog2pcap -o "$work/ours.pcapng" "$work"/gw/*.log)"
/usr/bin/time -f "  its CPU time: %U s user, %S s system" build/pcap/sflog2pcap -o "$work/ours.pcapng" "$work"/gw/*.log
rm -rf "$work/gw" "$work/same" "$work/pcaps" "$work"/*.pcapng

# 2. One minute out of an archive: the 31st minute after the first packet.
for ((g = 0; g < 20; g++)); do build/bench/make_log "$archive" 28 $((g * 40)) >"$work/archive/gw$g.log"; done
since=$((1800000000 + 1800))
until=$((since + 60))
archive_bytes=$(bytes_of "$work"/archive/*.log)
ours_minute=$(best "$runs" build/pcap/sflog2pcap --since "$since" --until "$until" --archive "$work/archive" \
  -o "$work/minute.pcapng")
awk_minute=$(best 1 awk -v s="$since" -v u="$until" '$1 >= s && $1 < u' "$work"/archive/*.log)
ours_count=$(capinfos -c -M "$work/minute.pcapng" | awk '/Number of packets/ { print $NF }')
awk_count=$(awk -v s="$since" -v u="$until" '$1 >= s && $1 < u' "$work"/archive/*.log | wc -l)
[ "$ours_count" = "$awk_count" ] || { echo "bench: $ours_count packets, awk found $awk_count lines" >&2; exit 1; }
echo "one minute ($ours_count packets) out of 20 logs, $((archive_bytes / 1000000)) MB in all:"
report "sflog2pcap --since --until --archive" "$archive_bytes" "$ours_minute"
report "awk on the timestamps" "$archive_bytes" "$awk_minute"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
