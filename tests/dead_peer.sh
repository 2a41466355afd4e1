#!/usr/bin/env bash
# A forwarder that vanishes without a word: in a network namespace of its own,
# sflogger logs one packet from an sfreplay that then stays silent, and the
# loopback link is taken down under them, so no FIN or reset ever arrives.
# Keepalive must end the logger, with status 0, within about two minutes.
#   dead_peer.sh SFLOGGER SFREPLAY
set -u
logger=$1 replay=$2
if ! unshare -n true 2>/dev/null; then
  echo "skipped: cannot make a network namespace here"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A packet now, the next one a day later: the forwarder stays alive and silent.
printf '1.000000 01 \n86401.000000 02 \n' >"$work/in.log"
unshare -n bash -c '
  set -u
  logger=$1 replay=$2 work=$3
  ip link set lo up || exit 1
  exec {out}< <(exec "$replay" -t -1 0 "$work/in.log")
  replay_pid=$!
  trap "kill $replay_pid 2>/dev/null" EXIT
  read -r -t 10 -u "$out" line || { echo "sfreplay did not start"; exit 1; }
  "$logger" 127.0.0.1 "${line##*:}" "$work/out.log" &
  pid=$!
  for _ in $(seq 100); do [ -s "$work/out.log" ] && break; sleep 0.1; done
  [ -s "$work/out.log" ] || { echo "no packet logged"; exit 1; }
  ip link set lo down
  for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 1; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "sflogger still waits 200 s after its forwarder vanished"
    kill "$pid"
    exit 1
  fi
  wait "$pid"
  status=$?
  [ "$status" -eq 0 ] || { echo "sflogger ended with status $status, not 0"; exit 1; }
  echo "sflogger noticed the dead forwarder and ended with status 0"
' dead_peer "$logger" "$replay" "$work"
