#!/usr/bin/env bash
# Measures sfreplay against bare_sender, which writes the same frames from
# memory in 64 KiB writes: frames a second to one client reading as fast as it
# can (the log 10 times over) and to 100 clients at once (a tenth of the log,
# twice over), best of RUNS runs; then, on a log of BIG packets, how fast
# sfreplay checks it and its anonymous memory while it serves 10 clients.
#   bench/replay.sh [PACKETS [RUNS [BIG]]]   (defaults: 2000000, 3, 10000000; 28-byte packets)
set -euo pipefail
cd "$(dirname "$0")/.."
packets=${1:-2000000}
runs=${2:-3}
big=${3:-10000000}

[ -f build/CMakeCache.txt ] || cmake -S . -B build >/dev/null
cmake --build build -j --target sfreplay bare_sender sink make_log >/dev/null

work=$(mktemp -d)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Starts a server command line in the background; sets server and port.
start() {
  exec {out}< <(exec "$@")
  server=$!
  read -r -t 600 -u "$out" line || { echo "bench: $1 did not start" >&2; exit 1; }
  port=${line##*:}
}

stop() {
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  server=
}

# Best frames a second of RUNS runs of CLIENTS sinks against PROGRAM sending
# LOG LOOPS times.
rate() {
  local program=$1 clients=$2 loops=$3 log=$4 expected=$5 best=0 frames seconds
  for ((run = 1; run <= runs; run++)); do
    if [ "$program" = sfreplay ]; then
      start build/replay/sfreplay -l "$loops" 0 "$log"
    else
      start build/bench/bare_sender "$clients" "$loops" "$log"
    fi
    read -r frames seconds < <(build/bench/sink "$clients" "$port")
    stop
    [ "$frames" -eq "$expected" ] || { echo "bench: $program delivered $frames frames, not $expected" >&2; exit 1; }
    best=$(awk -v b="$best" -v f="$frames" -v s="$seconds" 'BEGIN { r = f / s; print (r > b ? r : b) }')
  done
  echo "$best"
}

build/bench/make_log "$packets" 28 >"$work/one.log"
build/bench/make_log $((packets / 10)) 28 >"$work/many.log"
echo "frames of 28 bytes a second, best of $runs runs:"
printf '%-34s %14s %14s %8s\n' clients sfreplay bare_sender ratio
for clients in 1 100; do
  log=$work/one.log count=$packets loops=10
  [ "$clients" -eq 1 ] || { log=$work/many.log count=$((packets / 10)) loops=2; }
  replay=$(rate sfreplay "$clients" "$loops" "$log" $((count * clients * loops)))
  bare=$(rate bare_sender "$clients" "$loops" "$log" $((count * clients * loops)))
  awk -v c="$clients x $loops x $count frames" -v r="$replay" -v b="$bare" \
    'BEGIN { printf "%-34s %14.0f %14.0f %8.2f\n", c, r, b, b / r }'
done

build/bench/make_log "$big" 28 >"$work/big.log"
bytes=$(stat -c %s "$work/big.log")
cat "$work/big.log" >/dev/null  # in the page cache, as a log just written is
begin=$(date +%s.%N)
start build/replay/sfreplay 0 "$work/big.log"
checked=$(date +%s.%N)
peak=0
build/bench/sink 10 "$port" >"$work/sink.out" &
sink=$!
while kill -0 "$sink" 2>/dev/null; do
  kb=$(awk '/^RssAnon:/ { print $2 }' "/proc/$server/status")
  [ "$kb" -gt "$peak" ] && peak=$kb
  sleep 0.2
done
wait "$sink"
read -r frames seconds <"$work/sink.out"
stop
[ "$frames" -eq $((big * 10)) ] || { echo "bench: 10 clients received $frames frames, not $((big * 10))" >&2; exit 1; }
awk -v n="$big" -v b="$bytes" -v t0="$begin" -v t1="$checked" -v kb="$peak" -v f="$frames" -v s="$seconds" 'BEGIN {
  printf "log of %d packets, %.0f MB: checked at %.0f MB/s\n", n, b / 1e6, b / 1e6 / (t1 - t0)
  printf "serving it to 10 clients: %.0f frames a second in all, RssAnon at most %.1f MiB\n", f / s, kb / 1024
}'
