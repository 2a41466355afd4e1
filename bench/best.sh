# Sourced by the benchmarks. best COUNT COMMAND...: the best wall time of
# COUNT runs of COMMAND, in seconds.
best() {
  local count=$1 best= start end took
  shift
  for ((run = 1; run <= count; run++)); do
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    took=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
    if [ -z "$best" ] || awk -v a="$took" -v b="$best" 'BEGIN { exit !(a < b) }'; then best=$took; fi
  done
  echo "$best"
}
