#!/usr/bin/env bash
# Measures how soon a line written to a log reaches a forwarder client of
# sfreplay -f, against tail -F reading the same log (the floor: a reader of
# the file woken by inotify, with no protocol and no server): RATE lines a
# second for SECONDS, written as sflogger writes them; then the same with the
# log renamed away every ROTATE seconds. Last, sfreplay -f's anonymous memory
# while 100 clients that never read are behind by a log of a million lines.
#   bench/follow.sh [RATE [SECONDS [ROTATE]]]   (defaults: 1000, 20, 5)
set -euo pipefail
cd "$(dirname "$0")/.."
rate=${1:-1000}
seconds=${2:-20}
rotate=${3:-5}

[ -f build/CMakeCache.txt ] || cmake -S . -B build >/dev/null
cmake --build build -j --target sfreplay follow_latency make_log >/dev/null

work=$(mktemp -d)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Delays through sfreplay -f, renaming every $1 seconds (0: never).
through_sfreplay() {
  rm -f "$work"/gw.log*
  exec {out}< <(exec build/replay/sfreplay -f 0 "$work/gw.log")
  server=$!
  read -r -t 60 -u "$out" line || { echo "bench: sfreplay did not start" >&2; exit 1; }
  timeout $((seconds + 60)) build/bench/follow_latency "$work/gw.log" "$rate" "$seconds" "$1" "${line##*:}"
  kill "$server"
  wait "$server" 2>/dev/null || true
  server=
}

through_tail() {
  rm -f "$work"/gw.log*
  : >"$work/gw.log"
  timeout $((seconds + 60)) bash -c 'tail -n0 -F "$1" 2>/dev/null | build/bench/follow_latency "$@"' _ \
    "$work/gw.log" "$rate" "$seconds" "$1" - || true
}

echo "delay from a line's write to its arrival, ms ($rate lines/s for $seconds s):"
printf '%-40s %s\n' "sfreplay -f, one forwarder client" "$(through_sfreplay 0)"
printf '%-40s %s\n' "tail -F (floor)" "$(through_tail 0)"
printf '%-40s %s\n' "sfreplay -f, renamed every $rotate s" "$(through_sfreplay "$rotate")"
printf '%-40s %s\n' "tail -F, renamed every $rotate s" "$(through_tail "$rotate")"

# 100 clients do the handshake and then read nothing while a million lines
# are appended; sfreplay's RssAnon is sampled as it goes.
rm -f "$work"/gw.log*
exec {out}< <(exec build/replay/sfreplay -f 0 "$work/gw.log")
server=$!
read -r -t 60 -u "$out" line || { echo "bench: sfreplay did not start" >&2; exit 1; }
clients=()
for ((i = 0; i < 100; i++)); do
  exec {fd}<>"/dev/tcp/127.0.0.1/${line##*:}"
  printf 'U ' >&"$fd"
  clients+=("$fd")
done
build/bench/make_log 1000000 28 >"$work/million.log"
split -l 100000 "$work/million.log" "$work/part."
peak=0
for part in "$work"/part.*; do
  cat "$part" >>"$work/gw.log"
  sleep 0.2
  kb=$(awk '/^RssAnon:/ { print $2 }' "/proc/$server/status")
  [ "$kb" -gt "$peak" ] && peak=$kb
done
for fd in "${clients[@]}"; do exec {fd}>&-; done
kill "$server"
wait "$server" 2>/dev/null || true
server=
printf '%-40s RssAnon at most %.1f MiB (log %d MB)\n' "100 clients reading nothing" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')" \
  "$(($(stat -c %s "$work/gw.log") / 1000000))"
