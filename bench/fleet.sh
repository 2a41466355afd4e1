#!/usr/bin/env bash
# The fleet through a local mosquitto of its own:
# - catch-up: a gateway log of LINES lines (default 1,000,000, about 100 MB)
#   shipped with sfpublish -e into sfcollect, checked byte for byte, beside
#   mosquitto_pub -l -q 1 into mosquitto_sub on the same log (lines delivered
#   a second, and how many were lost);
# - memory: the peak RSS of sfpublish and sfcollect for a 10,000-line and for
#   the LINES-line backlog;
# - live: 1,000 lines a second appended for SECONDS (default 20), the delay
#   from a line's write to its arrival in the central log;
# - GATEWAYS (default 50) gateways of 20,000 lines each at once into one
#   collector, every central log compared with its gateway's.
#   bench/fleet.sh [LINES [SECONDS [GATEWAYS]]]
set -euo pipefail
cd "$(dirname "$0")/.."
lines=${1:-1000000}
seconds=${2:-20}
gateways=${3:-50}

[ -f build/CMakeCache.txt ] || cmake -S . -B build >/dev/null
cmake --build build -j --target sfpublish sfcollect make_log latency many_latency >/dev/null
for tool in mosquitto mosquitto_pub mosquitto_sub; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
    { echo "bench: $tool is missing (Debian: mosquitto, mosquitto-clients)" >&2; exit 1; }
done
PATH=$PATH:/usr/sbin

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' 2>/dev/null ||
  echo 18883)
cat >"$work/mosquitto.conf" <<CONF
listener $port 127.0.0.1
allow_anonymous true
persistence false
set_tcp_nodelay true
user root
CONF
mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.out" 2>&1 &
pids+=($!)
sleep 0.5
broker=mqtt://127.0.0.1:$port

# Peak resident memory of pid in KiB, sampled until it ends.
peak_rss() {
  local pid=$1 peak=0 rss
  while rss=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status" 2>/dev/null) && [ -n "$rss" ]; do
    [ "$rss" -gt "$peak" ] && peak=$rss
    sleep 0.01
  done
  echo "$peak"
}

now() { date +%s.%N; }
calc() { awk "BEGIN { print $* }"; }

# Ships a log of $1 lines as gateway $2 into a fresh central folder; prints
# "SECONDS PUBLISH_KIB COLLECT_KIB".
catch_up() {
  local count=$1 name=$2 central=$work/central-$2
  mkdir -p "$central"
  build/bench/make_log "$count" 28 >"$work/$name.log"
  build/collect/sfcollect -b "$broker" -t "$name" -i "collect-$name" "$central" 2>/dev/null &
  local collector=$!
  peak_rss "$collector" >"$work/collect-rss" &
  local sampler=$!
  sleep 0.3
  local start end
  start=$(now)
  build/publish/sfpublish -b "$broker" -t "$name" -e "$name" "$work/$name.log" 2>/dev/null &
  local publisher=$!
  local publish_rss
  publish_rss=$(peak_rss "$publisher")
  wait "$publisher"
  end=$(now)
  cmp -s "$work/$name.log" "$central/$name.log" || { echo "bench: $name's central log differs" >&2; exit 1; }
  kill "$collector"
  wait "$collector" "$sampler" || true
  echo "$(calc "$end - $start") $publish_rss $(cat "$work/collect-rss")"
}

read -r small_time small_publish small_collect < <(catch_up 10000 small)
read -r big_time big_publish big_collect < <(catch_up "$lines" big)
bytes=$(stat -c %s "$work/big.log")
printf 'sfpublish -> sfcollect: %d lines, %.1f MB in %.2f s: %.1f MB/s, %.0f lines/s, byte-identical\n' \
  "$lines" "$(calc "$bytes / 1000000")" "$big_time" "$(calc "$bytes / 1000000 / $big_time")" \
  "$(calc "$lines / $big_time")"
printf 'peak RSS, 10,000-line backlog: sfpublish %d KiB, sfcollect %d KiB\n' "$small_publish" "$small_collect"
printf 'peak RSS, %d-line backlog: sfpublish %d KiB, sfcollect %d KiB\n' "$lines" "$big_publish" "$big_collect"

# The naive pipeline on the same log, through the same broker.
mosquitto_sub -h 127.0.0.1 -p "$port" -q 1 -t naive/log -C "$lines" -W 600 >"$work/naive.out" 2>/dev/null &
sub=$!
sleep 0.3
start=$(now)
mosquitto_pub -h 127.0.0.1 -p "$port" -q 1 -t naive/log -l <"$work/big.log"
# What the subscriber gets after the publisher has finished, within a second of quiet.
last=-1
while size=$(stat -c %s "$work/naive.out") && [ "$size" != "$last" ]; do last=$size; sleep 1; done
end=$(now)
kill "$sub" 2>/dev/null || true
got=$(wc -l <"$work/naive.out")
printf 'mosquitto_pub -l -q 1 -> mosquitto_sub: %d of %d lines delivered (%d lost) in %.2f s: %.0f lines/s\n' \
  "$got" "$lines" "$((lines - got))" "$(calc "$end - $start - 1")" "$(calc "$got / ($end - $start - 1)")"

# Live: 1,000 lines a second.
mkdir -p "$work/central-live"
build/collect/sfcollect -b "$broker" -t live -i collect-live "$work/central-live" 2>/dev/null &
pids+=($!)
: >"$work/live.log"
build/publish/sfpublish -b "$broker" -t live live "$work/live.log" 2>/dev/null &
pids+=($!)
sleep 0.5
printf 'live, 1,000 lines/s for %d s, delay from write to the central log in ms: ' "$seconds"
build/bench/latency "$work/live.log" "$work/central-live/live.log" 1000 "$seconds"

# Many gateways into one collector. Each part has a topic prefix of its own,
# so that no collector answers for another's gateways.
mkdir -p "$work/central-many"
build/collect/sfcollect -b "$broker" -t many -i collect-many "$work/central-many" 2>/dev/null &
pids+=($!)
sleep 0.3
build/bench/make_log 20000 28 >"$work/one.log"
publishers=()
for i in $(seq 1 "$gateways"); do
  sed "s/^1800/$((1800 + i))/" "$work/one.log" >"$work/gw$i.log"
done
start=$(now)
for i in $(seq 1 "$gateways"); do
  build/publish/sfpublish -b "$broker" -t many -e "gw$i" "$work/gw$i.log" 2>/dev/null &
  publishers+=($!)
done
wait "${publishers[@]}"
end=$(now)
for i in $(seq 1 "$gateways"); do
  cmp -s "$work/gw$i.log" "$work/central-many/gw$i.log" || { echo "bench: gw$i's central log differs" >&2; exit 1; }
done
printf '%d gateways of 20,000 lines at once into one collector: %.2f s, every central log identical\n' \
  "$gateways" "$(calc "$end - $start")"

# --- Many gateways live: the collector's latency --------------------------
# GATEWAYS x RATE lines a second for SECONDS, each gateway with its own
# sfpublish, into one collector: the delay from a line's write to its arrival
# in the central log (bench/many_latency), every central log then compared
# with its gateway's. The gateways' logs, and so sfpublish's state files, are
# on /dev/shm where there is one: in a fleet they are other machines, whose
# syncs would otherwise queue with the collector's on the one disk. Each log
# is in a folder of its own, as sfpublish watches its log's folder with
# inotify, one instance each: the per-user limit of instances is raised
# for the run where it is too low (root only), or a publisher beyond it
# would look at its log only once a second.
many_live() {
  local count=$1 rate=$2 prefix=lat$1x$2
  local logs central=$work/$prefix-central
  logs=$(mktemp -d -p "$([ -d /dev/shm ] && echo /dev/shm || echo "$work")")
  mkdir -p "$central"
  build/collect/sfcollect -b "$broker" -t "$prefix" -i "collect-$prefix" "$central" 2>/dev/null &
  local collector=$! publishers=() i
  for i in $(seq 1 "$count"); do
    mkdir "$logs/gw$i"
    : >"$logs/gw$i/gw$i.log"
    build/publish/sfpublish -b "$broker" -t "$prefix" "gw$i" "$logs/gw$i/gw$i.log" 2>/dev/null &
    publishers+=($!)
  done
  sleep 2
  printf '%d gateways x %d lines/s for %d s, delay from write to the central log in ms: ' "$count" "$rate" "$seconds"
  build/bench/many_latency "$logs" "$central" "$count" "$rate" "$seconds"
  kill "${publishers[@]}" "$collector"
  wait "${publishers[@]}" "$collector" 2>/dev/null || true
  for i in $(seq 1 "$count"); do
    cmp -s "$logs/gw$i/gw$i.log" "$central/gw$i.log" || { echo "bench: $prefix gw$i's central log differs" >&2; exit 1; }
  done
  rm -rf "$logs"
}
instances=$(cat /proc/sys/fs/inotify/max_user_instances 2>/dev/null || echo 0)
if [ "$instances" -lt 512 ] && [ "$(id -u)" = 0 ]; then
  echo 512 >/proc/sys/fs/inotify/max_user_instances
fi
many_live 10 100
many_live 100 10
many_live 200 10
if [ "$instances" -gt 0 ] && [ "$instances" -lt 512 ] && [ "$(id -u)" = 0 ]; then
  echo "$instances" >/proc/sys/fs/inotify/max_user_instances
fi
