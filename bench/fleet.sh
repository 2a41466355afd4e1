#!/usr/bin/env bash
# The fleet through local mosquittos of its own, each measure twice: through
# a broker at mosquitto's defaults (Nagle's algorithm on its sockets, as most
# brokers are left) and through one with set_tcp_nodelay true:
# - catch-up: a gateway log of LINES lines (default 1,000,000, about 100 MB)
#   shipped with sfpublish -e into sfcollect, checked byte for byte;
# - memory: the peak RSS of sfpublish and sfcollect for a 10,000-line and for
#   the LINES-line backlog;
# - live: 1,000 lines a second appended for SECONDS (default 20), the delay
#   from a line's write to its arrival in the central log;
# - GATEWAYS (default 50) gateways of 20,000 lines each at once into one
#   collector, every central log compared with its gateway's.
# Then through the tuned broker, the catch-up with the metrics served and
# scraped every second beside the catch-up without them, three times in turns.
# Then, once: mosquitto_pub -l -q 1 into mosquitto_sub on the same log (lines
# delivered a second, and how many were lost), through a broker at the
# defaults but for set_tcp_nodelay; and the broker's peak memory (VmHWM) while
# the collector is away for OUTAGE seconds (default 120) and 20 gateways of
# 50,000 lines each wait for it, the broker's queues bounded as
# packaging/mosquitto-central.conf bounds them, then the time to drain them
# once it is back. Last, many gateways live at once through a tuned broker,
# 10 x 100, 100 x 10 and 200 x 10 gateways x lines a second for SECONDS: the
# delay from write to the central log. Then the scale (below), which
# --scale runs alone, each measure RUNS times (default 3).
#   bench/fleet.sh [LINES [SECONDS [GATEWAYS [OUTAGE]]]]
#   bench/fleet.sh --scale [SECONDS [RUNS]]
set -euo pipefail
cd "$(dirname "$0")/.."
scale_only=
if [ "${1:-}" = --scale ]; then
  scale_only=1
  shift
  set -- 1000000 "${1:-20}" 50 120 "${2:-3}"
fi
lines=${1:-1000000}
seconds=${2:-20}
gateways=${3:-50}
outage=${4:-120}
runs=${5:-3}

[ -f build/CMakeCache.txt ] || cmake -S . -B build >/dev/null
cmake --build build -j --target sfpublish sfcollect make_log latency many_latency fleet_load >/dev/null
for tool in mosquitto mosquitto_pub mosquitto_sub curl; do
  command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] ||
    { echo "bench: $tool is missing (Debian: mosquitto, mosquitto-clients, curl)" >&2; exit 1; }
done
PATH=$PATH:/usr/sbin

work=$(mktemp -d)
pids=()
cleanup() {
  ! declare -F restore_inotify >/dev/null || restore_inotify
  # The gateways' sfpublish too, else a failure in the middle waits for them forever.
  for pid in "${pids[@]}" $(jobs -p); do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ! mountpoint -q "$work/archives" 2>/dev/null || umount "$work/archives"
  rm -rf "$work"
}
trap cleanup EXIT

# Starts a mosquitto named $1 on a free loopback port with the configuration
# lines that follow; sets port and broker_pid.
start_broker() {
  local name=$1
  shift
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' 2>/dev/null ||
    echo $((18000 + RANDOM % 1000)))
  {
    echo "listener $port 127.0.0.1"
    echo "allow_anonymous true"
    echo "persistence false"
    echo "user root"
    printf '%s\n' "$@"
  } >"$work/$name.conf"
  mosquitto -c "$work/$name.conf" >"$work/$name.out" 2>&1 &
  broker_pid=$!
  pids+=("$broker_pid")
  local tries=0
  until (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do
    tries=$((tries + 1))
    [ "$tries" -lt 500 ] || { echo "bench: mosquitto $name does not start" >&2; cat "$work/$name.out" >&2; exit 1; }
    sleep 0.01
  done
}

# Peak resident memory of pid in KiB until it ends: the kernel's own peak,
# VmHWM, read without a fork so that the sampling takes little of the CPU the
# catch-up runs on.
peak_rss() {
  local pid=$1 peak=0 key value _
  while [ -r "/proc/$pid/status" ]; do
    while read -r key value _; do [ "$key" = VmHWM: ] && peak=$value; done 2>/dev/null <"/proc/$pid/status" || true
    sleep 0.01
  done
  echo "$peak"
}

# The peak RSS of a process that is still running: the kernel keeps it.
peak_now() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }

now() { date +%s.%N; }
calc() { awk "BEGIN { print $* }"; }

# --- Many gateways live: the collector's latency --------------------------
# GATEWAYS x RATE lines a second for SECONDS, each gateway with its own
# sfpublish, into one collector: the delay from a line's write to its arrival
# in the central log (bench/many_latency), every central log then compared
# with its gateway's. The gateways' logs, and so sfpublish's state files, are
# on /dev/shm where there is one: in a fleet they are other machines, whose
# syncs would otherwise queue with the collector's on the one disk. Each log
# is in a folder of its own, as sfpublish watches its log's folder with
# inotify, one instance each (raise_inotify, below). The central logs are on
# the archives' own file system once the scale has made one
# (mount_archives, below). A third argument is
# added to the topic prefix, for a second run of the same figures.
many_live() {
  local count=$1 rate=$2 prefix=lat$1x$2${3:-}
  local logs central=${archives:-$work}/$prefix-central
  logs=$(mktemp -d -p "$([ -d /dev/shm ] && echo /dev/shm || echo "$work")")
  mkdir -p "$central"
  build/collect/sfcollect -b "$broker" -t "$prefix" -i "collect-$prefix" "$central" 2>/dev/null &
  local collector=$! publishers=() i
  for i in $(seq 1 "$count"); do
    mkdir "$logs/gw$i"
    : >"$logs/gw$i/gw$i.log"
    build/publish/sfpublish -b "$broker" -t "$prefix" "gw$i" "$logs/gw$i/gw$i.log" 2>"$logs/gw$i.err" &
    publishers+=($!)
  done
  sleep 2
  printf '%d gateways x %d lines/s for %d s, delay from write to the central log in ms: ' "$count" "$rate" "$seconds"
  build/bench/many_latency "$logs" "$central" "$count" "$rate" "$seconds"
  kill "${publishers[@]}" "$collector"
  wait "${publishers[@]}" "$collector" 2>/dev/null || true
  # Past the limit of inotify instances, which others on the machine share, a
  # sfpublish looks at its log only now and then, and the figures show it.
  local unwatched
  unwatched=$(grep -l 'looking for new lines every' "$logs"/gw*.err | wc -l) || true
  [ "$unwatched" -eq 0 ] || echo "  ($unwatched of $count sfpublish had no inotify instance)"
  for i in $(seq 1 "$count"); do
    cmp -s "$logs/gw$i/gw$i.log" "$central/gw$i.log" || { echo "bench: $prefix gw$i's central log differs" >&2; exit 1; }
  done
  rm -rf "$logs"
}

# The per-user limit of inotify instances, raised to 512 for the runs of
# many sfpublish where it is lower (root only): each watches its log's
# folder, and one beyond the limit looks at its log only now and then.
instances=$(cat /proc/sys/fs/inotify/max_user_instances 2>/dev/null || echo 0)
raise_inotify() {
  if [ "$instances" -gt 0 ] && [ "$instances" -lt 512 ] && [ "$(id -u)" = 0 ]; then
    echo 512 >/proc/sys/fs/inotify/max_user_instances
  fi
}
restore_inotify() {
  if [ "$instances" -gt 0 ] && [ "$instances" -lt 512 ] && [ "$(id -u)" = 0 ]; then
    echo "$instances" >/proc/sys/fs/inotify/max_user_instances
  fi
}

# --- Scale: thousands of gateways through a broker at its defaults ---------
# The broker has a configuration of its own with only a listener (beside
# start_broker's allow_anonymous, which mosquitto 2 wants for clients without
# a password, persistence off, as by default, and the user to run as):
# at most 20 QoS 1 messages in flight to or from each client, 1,000 more
# queued for each, and Nagle's algorithm on. bench/fleet_load plays the
# gateways, one line a second each, over one connection per 1,000 gateways
# and at least 4 (a connection's publishes wait behind its 20 in flight; 400
# a connection took the player almost twice the CPU, and gave worse figures
# for the collector beside it), the gateways joining
# one after another over the first 5 s, and times each batch from its publish
# to the ack that covers it, leaving out those 5 s (each gateway's first
# batch makes its file). The collector keeps every log
# of a pass open until the pass's sync, more than the usual soft limit of
# 1,024 descriptors with thousands of gateways: it runs with its soft limit
# raised to the hard one. sfcollect is killed at the end of each run, as in a
# crash, and timed as it starts again on the journal of that many gateways:
# from its start to the ack of a batch that waited for it at the broker.

# The CPU time pid has taken, in clock ticks.
ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# Starts sfcollect for prefix $1 on folder $2; sets collector.
start_collector() {
  (
    ulimit -n "$(ulimit -Hn)"
    exec build/collect/sfcollect -b "$broker" -t "$1" -i "collect-$1" "$2" 2>>"$work/$1.err"
  ) &
  collector=$!
  pids+=("$collector")
}

# The archives are on a file system of their own where root can make one, a
# loop-mounted ext4, as the README advises for the collector: its syncfs
# writes out whatever else is dirty on the archive's file system, and the
# builds of others on the machine's one made a commit take seconds.
archives=
mount_archives() {
  archives=$work
  if [ "$(id -u)" = 0 ] && command -v mkfs.ext4 >/dev/null && truncate -s 4G "$work/archives.img" &&
    mkfs.ext4 -q -F "$work/archives.img" && mkdir -p "$work/archives" &&
    mount -o loop "$work/archives.img" "$work/archives" 2>/dev/null; then
    archives=$work/archives
  fi
}

# COUNT gateways, run RUN: latency, peak RSS, then the restart.
scale_gateways() {
  local count=$1 run=$2 prefix=scale$1-$2 central=$archives/scale$1-$2
  mkdir -p "$central"
  start_collector "$prefix" "$central"
  local load collector_ticks broker_ticks load_cpu
  sleep 0.5
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  broker_ticks=$(ticks "$broker_pid")
  local said
  said=$(wc -l <"$work/scale.out")
  local TIMEFORMAT='%U %S'
  { time build/bench/fleet_load "$broker" "$prefix" "$count" $(((count + 999) / 1000 > 4 ? (count + 999) / 1000 : 4)) "$seconds" 5 \
    >"$work/$prefix.load" 2>"$work/$prefix.load-err"; } 2>"$work/$prefix.time" || true
  collector_ticks=$(ticks "$collector")
  broker_ticks=$(($(ticks "$broker_pid") - broker_ticks))
  load_cpu=$(awk '{ print $1 + $2 }' "$work/$prefix.time")
  # Read once at the end, not sampled: a sampler's sleep a hundred times a
  # second took CPU from the three it measures.
  peak_now "$collector" >"$work/$prefix.rss"
  kill -9 "$collector"
  wait "$collector" 2>/dev/null || true
  local hz batches
  hz=$(getconf CLK_TCK)
  batches=$(awk '{ print $2 }' "$work/$prefix.load")
  [ -n "$batches" ] || batches=$((count * seconds))
  printf '%d gateways x 1 line/s for %d s, run %d (load %s): publish to ack in ms after the first 5 s (the gateways joining): %s; sfcollect peak RSS %d KiB; CPU a batch: sfcollect %.0f us, mosquitto %.0f us, fleet_load %.0f us\n' \
    "$count" "$seconds" "$run" "$load" "$(cat "$work/$prefix.load")" "$(cat "$work/$prefix.rss")" \
    "$(calc "$collector_ticks / $hz * 1000000 / $batches")" "$(calc "$broker_ticks / $hz * 1000000 / $batches")" \
    "$(calc "$load_cpu * 1000000 / $batches")"
  # Whose messages mosquitto dropped (its queue full), which the gateways then send again.
  local dropped
  dropped=$(tail -n +"$((said + 1))" "$work/scale.out" | sed -n 's/.*being dropped for client \(.*\)\.$/\1/p' | sort -u |
    tr '\n' ' ')
  [ -z "$dropped" ] || echo "  (mosquitto dropped messages for: $dropped)"

  : >"$work/$prefix.probe"
  build/bench/fleet_load "$broker" "$prefix" probe >"$work/$prefix.probe" 2>&1 &
  local probe=$! tries=0 start
  until grep -q '^sent' "$work/$prefix.probe"; do
    tries=$((tries + 1))
    if [ "$tries" -ge 3000 ] || ! kill -0 "$probe" 2>/dev/null; then
      echo "bench: the probe did not send" >&2
      cat "$work/$prefix.probe" >&2
      exit 1
    fi
    sleep 0.01
  done
  local journal
  journal=$(wc -l <"$central/sfcollect.journal")
  start=$(now)
  start_collector "$prefix" "$central"
  wait "$probe" || { echo "bench: no ack for the probe" >&2; cat "$work/$prefix.probe" >&2; exit 1; }
  kill "$collector"
  wait "$collector" 2>/dev/null || true
  printf '%d gateways, run %d: sfcollect killed, started again on a journal of %d lines: %.3f s to its first ack\n' \
    "$count" "$run" "$journal" "$(calc "$(awk '/^acked/ { print $2 }' "$work/$prefix.probe") - $start")"
}

scale() {
  start_broker scale
  broker=mqtt://127.0.0.1:$port
  local run
  mount_archives
  raise_inotify
  for run in $(seq 1 "$runs"); do
    printf 'default broker, run %d (load %s): ' "$run" "$(cut -d' ' -f1-3 /proc/loadavg)"
    many_live 200 10 "-default-$run"
  done
  restore_inotify
  for run in $(seq 1 "$runs"); do scale_gateways 1000 "$run"; done
  for run in $(seq 1 "$runs"); do scale_gateways 10000 "$run"; done
  kill "$broker_pid"
  [ "$archives" = "$work" ] || umount "$archives"
}
if [ -n "$scale_only" ]; then
  scale
  exit
fi

build/bench/make_log "$lines" 28 >"$work/big.log"
build/bench/make_log 10000 28 >"$work/small.log"
build/bench/make_log 20000 28 >"$work/one.log"
for i in $(seq 1 "$gateways"); do
  sed "s/^1800/$((1800 + i))/" "$work/one.log" >"$work/gw$i.log"
done

# Ships $work/$1.log as gateway $1 under prefix $2 into a fresh central
# folder; prints "SECONDS PUBLISH_KIB COLLECT_KIB". With a third argument,
# both serve their metrics, and both pages are fetched every second.
catch_up() {
  local name=$1 prefix=$2 scraped=${3:-} central=$work/central-$2
  mkdir -p "$central"
  cp "$work/$name.log" "$work/$prefix.log"
  local metrics=()
  [ -z "$scraped" ] || metrics=(--metrics 127.0.0.1:0)
  build/collect/sfcollect -b "$broker" -t "$prefix" -i "collect-$prefix" "${metrics[@]}" "$central" \
    >"$work/collect-metrics" 2>/dev/null &
  local collector=$!
  peak_rss "$collector" >"$work/collect-rss" &
  local sampler=$!
  sleep 0.3
  local start end
  start=$(now)
  build/publish/sfpublish -b "$broker" -t "$prefix" "${metrics[@]}" -e "$name" "$work/$prefix.log" \
    >"$work/publish-metrics" 2>/dev/null &
  local publisher=$!
  local scraper=
  if [ -n "$scraped" ]; then
    (
      sleep 0.1
      while kill -0 "$publisher" 2>/dev/null; do
        for page in $(sed 's/^metrics on //' "$work/collect-metrics" "$work/publish-metrics"); do
          curl -s -o /dev/null "$page" || true
        done
        sleep 1
      done
    ) &
    scraper=$!
  fi
  local publish_rss
  publish_rss=$(peak_rss "$publisher")
  wait "$publisher"
  end=$(now)
  [ -z "$scraper" ] || wait "$scraper" || true
  cmp -s "$work/$name.log" "$central/$name.log" || { echo "bench: $prefix's central log differs" >&2; exit 1; }
  kill "$collector"
  wait "$collector" "$sampler" || true
  echo "$(calc "$end - $start") $publish_rss $(cat "$work/collect-rss")"
}

# Every measure of sfpublish and sfcollect through the broker at $port,
# under topic prefixes that start with $1.
measure() {
  local setting=$1
  broker=mqtt://127.0.0.1:$port
  local small_time small_publish small_collect big_time big_publish big_collect
  read -r small_time small_publish small_collect < <(catch_up small "$setting-small")
  read -r big_time big_publish big_collect < <(catch_up big "$setting-big")
  local bytes
  bytes=$(stat -c %s "$work/big.log")
  printf '%s: sfpublish -> sfcollect: %d lines, %.1f MB in %.2f s: %.1f MB/s, %.0f lines/s, byte-identical\n' \
    "$setting" "$lines" "$(calc "$bytes / 1000000")" "$big_time" "$(calc "$bytes / 1000000 / $big_time")" \
    "$(calc "$lines / $big_time")"
  printf '%s: peak RSS, 10,000-line backlog: sfpublish %d KiB, sfcollect %d KiB\n' \
    "$setting" "$small_publish" "$small_collect"
  printf '%s: peak RSS, %d-line backlog: sfpublish %d KiB, sfcollect %d KiB\n' \
    "$setting" "$lines" "$big_publish" "$big_collect"

  # Live: 1,000 lines a second.
  local central=$work/central-$setting-live
  mkdir -p "$central"
  build/collect/sfcollect -b "$broker" -t "$setting-live" -i "collect-$setting-live" "$central" 2>/dev/null &
  local collector=$!
  : >"$work/$setting-live.log"
  build/publish/sfpublish -b "$broker" -t "$setting-live" live "$work/$setting-live.log" 2>/dev/null &
  local publisher=$!
  sleep 0.5
  printf '%s: live, 1,000 lines/s for %d s, delay from write to the central log in ms: ' "$setting" "$seconds"
  build/bench/latency "$work/$setting-live.log" "$central/live.log" 1000 "$seconds" || true
  kill "$publisher" "$collector"
  wait "$publisher" "$collector" || true

  # Many gateways into one collector.
  central=$work/central-$setting-many
  mkdir -p "$central"
  build/collect/sfcollect -b "$broker" -t "$setting-many" -i "collect-$setting-many" "$central" 2>/dev/null &
  collector=$!
  sleep 0.3
  local publishers=() start end i
  start=$(now)
  for i in $(seq 1 "$gateways"); do
    cp "$work/gw$i.log" "$work/$setting-gw$i.log"
    build/publish/sfpublish -b "$broker" -t "$setting-many" -e "gw$i" "$work/$setting-gw$i.log" 2>/dev/null &
    publishers+=($!)
  done
  wait "${publishers[@]}"
  end=$(now)
  kill "$collector"
  wait "$collector" || true
  for i in $(seq 1 "$gateways"); do
    cmp -s "$work/gw$i.log" "$central/gw$i.log" || { echo "bench: gw$i's central log differs" >&2; exit 1; }
  done
  printf '%s: %d gateways of 20,000 lines at once into one collector: %.2f s, every central log identical\n' \
    "$setting" "$gateways" "$(calc "$end - $start")"
}

# Queues big enough that the broker drops nothing of what the bench sends.
start_broker default "max_queued_messages 100000"
measure default
kill "$broker_pid"
start_broker tuned "max_queued_messages 100000" "set_tcp_nodelay true"
measure tuned

# The metrics' cost: catch-up with both programs serving them and scraped
# every second, beside catch-up without, in turns; the best of each.
best_plain=1e9 best_scraped=1e9
for round in 1 2 3; do
  read -r took _ < <(catch_up big "plain-$round")
  best_plain=$(calc "($took < $best_plain) ? $took : $best_plain")
  read -r took _ < <(catch_up big "scraped-$round" scraped)
  best_scraped=$(calc "($took < $best_scraped) ? $took : $best_scraped")
done
printf 'tuned: catch-up of %d lines, best of 3 in turns: %.2f s without metrics, %.2f s with both scraped every second (%+.1f%%)\n' \
  "$lines" "$best_plain" "$best_scraped" "$(calc "($best_scraped / $best_plain - 1) * 100")"
kill "$broker_pid"

# The naive pipeline on the same log.
start_broker naive "set_tcp_nodelay true"
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
kill "$broker_pid"

# The collector away while 20 gateways of 50,000 lines each wait for it.
mapfile -t bounds < <(grep -E '^(max_queued_messages|max_queued_bytes|max_inflight_messages|max_inflight_bytes)\b' \
  packaging/mosquitto-central.conf)
start_broker bounded "${bounds[@]}"
broker=mqtt://127.0.0.1:$port
hwm() { awk '/^VmHWM/ { print $2 }' "/proc/$broker_pid/status"; }
central=$work/central-away
mkdir -p "$central"
# Once, so that its session, and what it subscribed to, are kept while it is away.
build/collect/sfcollect -b "$broker" -t away -i collect-away "$central" 2>/dev/null &
collector=$!
sleep 0.5
kill "$collector"
wait "$collector" || true
build/bench/make_log 50000 28 >"$work/fifty.log"
before=$(hwm)
publishers=()
for i in $(seq 1 20); do
  sed "s/^1800/$((1800 + i))/" "$work/fifty.log" >"$work/away$i.log"
  build/publish/sfpublish -b "$broker" -t away -e "away$i" "$work/away$i.log" 2>/dev/null &
  publishers+=($!)
done
sleep "$outage"
during=$(hwm)
start=$(now)
build/collect/sfcollect -b "$broker" -t away -i collect-away "$central" 2>/dev/null &
collector=$!
pids+=("$collector")
wait "${publishers[@]}"
end=$(now)
for i in $(seq 1 20); do
  cmp -s "$work/away$i.log" "$central/away$i.log" || { echo "bench: away$i's central log differs" >&2; exit 1; }
done
printf 'collector away for %d s, 20 gateways of 50,000 lines (%.1f MB) waiting, broker bounded by %s: ' \
  "$outage" "$(calc "20 * $(stat -c %s "$work/fifty.log") / 1000000")" "$(printf '%s, ' "${bounds[@]}" | sed 's/, $//')"
printf 'mosquitto VmHWM %d KiB idle, %d KiB at the end of the outage, %d KiB after the drain; drained in %.2f s, every central log identical\n' \
  "$before" "$during" "$(hwm)" "$(calc "$end - $start")"

# --- Many gateways live: the collector's latency --------------------------
start_broker many "max_queued_messages 100000" "set_tcp_nodelay true"
broker=mqtt://127.0.0.1:$port
raise_inotify
many_live 10 100
many_live 100 10
many_live 200 10
restore_inotify
kill "$broker_pid"
scale
