#!/usr/bin/env bash
# Measures sflogger's CPU and wall time per packet against bare_loop, which
# makes only the system calls the log needs. Both log the same generated packet
# log served by sfreplay; the best of several runs of each counts.
#   bench/throughput.sh [PACKETS [RUNS]]   (defaults: 100000 packets of 28 bytes, 5 runs)
set -euo pipefail
cd "$(dirname "$0")/.."
packets=${1:-100000}
runs=${2:-5}

[ -f build/CMakeCache.txt ] || cmake -S . -B build >/dev/null
cmake --build build -j --target sflogger sfreplay bare_loop >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
awk -v n="$packets" 'BEGIN {
  srand(1)
  for (i = 0; i < n; i++) {
    printf "%d.%06d ", 1800000000 + int(i / 1000), (i % 1000) * 1000
    for (j = 0; j < 28; j++) printf "%02x ", int(rand() * 256)
    printf "\n"
  }
}' >"$work/in.log"

# One run of program against a fresh sfreplay: prints "CPU WALL" in seconds.
measure() {
  local program=$1 out pid line times
  exec {out}< <(exec build/replay/sfreplay -1 0 "$work/in.log")
  pid=$!
  read -r -t 10 -u "$out" line || { echo "bench: sfreplay did not start" >&2; exit 1; }
  rm -f "$work/out.log"
  TIMEFORMAT='%3U %3S %3R'
  times=$({ time "$program" 127.0.0.1 "${line##*:}" "$work/out.log"; } 2>&1)
  wait "$pid"
  exec {out}<&-
  [ "$(wc -l <"$work/out.log")" -eq "$packets" ] || { echo "bench: $program logged a wrong line count" >&2; exit 1; }
  awk '{ printf "%.3f %.3f\n", $1 + $2, $3 }' <<<"$times"
}

declare -A best_cpu best_wall
for program in sflogger bare_loop; do best_cpu[$program]=; best_wall[$program]=; done
for ((run = 1; run <= runs; run++)); do
  for program in sflogger bare_loop; do  # interleaved, so drift in the machine hits both alike
    path=build/logger/sflogger
    [ "$program" = bare_loop ] && path=build/bench/bare_loop
    read -r cpu wall < <(measure "$path")
    if [ -z "${best_cpu[$program]}" ] || awk -v a="$cpu" -v b="${best_cpu[$program]}" 'BEGIN { exit !(a < b) }'; then
      best_cpu[$program]=$cpu
    fi
    if [ -z "${best_wall[$program]}" ] || awk -v a="$wall" -v b="${best_wall[$program]}" 'BEGIN { exit !(a < b) }'; then
      best_wall[$program]=$wall
    fi
  done
done

echo "$packets packets of 28 bytes, best of $runs runs, microseconds per packet:"
printf '%-10s %10s %10s\n' program cpu wall
for program in sflogger bare_loop; do
  awk -v p="$program" -v c="${best_cpu[$program]}" -v w="${best_wall[$program]}" -v n="$packets" \
    'BEGIN { printf "%-10s %10.3f %10.3f\n", p, c * 1e6 / n, w * 1e6 / n }'
done
awk -v a="${best_cpu[sflogger]}" -v b="${best_cpu[bare_loop]}" \
  'BEGIN { printf "cpu ratio sflogger / bare_loop: %.3f\n", (b > 0 ? a / b : 0) }'
