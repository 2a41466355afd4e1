#!/usr/bin/env bash
# The whole fleet on this machine, as a first run: a CA and a broker
# certificate made with openssl; mosquitto with the broker configuration and
# ACL the package ships (TLS, passwords) on a free loopback port, as the
# current user; sfcollect; and one gateway, gw1: sfreplay serving
# examples/sample.log as its forwarder, sflogger and sfpublish. Prints the
# central log as it grows, then compares it with the gateway's. Installs what
# the build lacks and leaves nothing running.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages cmake make g++ zlib1g-dev liblzma-dev libzstd-dev libbz2-dev pkgconf libmosquitto-dev prometheus-cpp-dev mosquitto openssl

# A build directory the tests configured keeps its settings.
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j --target sflogger sfreplay sfpublish sfcollect >/dev/null

work=$(mktemp -d)
pids=()
# Stopped in the reverse order of their start, the broker last, so that none
# of them sees another go first.
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null && wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
say() { echo "fleet-demo: $*" >&2; }

say "making a CA and a certificate for the broker at 127.0.0.1"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=fleet-demo-ca \
  -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout "$work/broker.key" -out "$work/broker.csr" 2>/dev/null
echo "subjectAltName=IP:127.0.0.1" >"$work/broker.ext"
openssl x509 -req -in "$work/broker.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial -days 1 \
  -extfile "$work/broker.ext" -out "$work/broker.pem" 2>/dev/null

# A password for the collector and the gateway, as the set-up makes them.
for user in collector gw1; do
  openssl rand -hex 16 >"$work/$user.password"
  mosquitto_passwd $([ -f "$work/passwd" ] || echo -c) -b "$work/passwd" "$user" "$(cat "$work/$user.password")"
done
cp packaging/mosquitto-central.acl "$work/acl"

# The shipped configuration, with this folder's files, a loopback port and
# the current user.
start_broker() {
  local attempt
  for attempt in 1 2 3 4 5; do
    port=$(shuf -i 20000-60000 -n 1)
    sed -e "s|^listener 8883|listener $port 127.0.0.1|" \
      -e "s|/etc/mosquitto/certs/|$work/|" -e "s|/etc/mosquitto/sflogger.passwd|$work/passwd|" \
      -e "s|/etc/mosquitto/sflogger.acl|$work/acl|" packaging/mosquitto-central.conf >"$work/mosquitto.conf"
    printf 'persistence_location %s/\nuser %s\nlog_dest file %s/mosquitto.log\n' \
      "$work" "$(id -un)" "$work" >>"$work/mosquitto.conf"
    mosquitto -c "$work/mosquitto.conf" 2>>"$work/mosquitto.log" &
    broker_pid=$!
    local tries
    for tries in $(seq 50); do
      if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
      kill -0 "$broker_pid" 2>/dev/null || break  # the port was taken: another one
      sleep 0.1
    done
    kill "$broker_pid" 2>/dev/null || true
  done
  say "mosquitto did not start; its log:"
  cat "$work/mosquitto.log" >&2
  exit 1
}
start_broker
pids+=("$broker_pid")
url=mqtts://127.0.0.1:$port
say "mosquitto listens on 127.0.0.1:$port (TLS, passwords, the shipped ACL)"

mkdir "$work/central"
SF_MQTT_PASSWORD=$(cat "$work/collector.password") \
  build/collect/sfcollect -b "$url" -u collector --cafile "$work/ca.pem" -i fleet-demo "$work/central" &
pids+=($!)
say "sfcollect writes every gateway's lines to $work/central/NAME.log"

# The gateway: its forwarder (the sample three times over, at half speed),
# the logger and the publisher.
exec {replay_out}< <(exec build/replay/sfreplay -1 -x 0.5 -l 3 0 examples/sample.log)
pids+=($!)
read -r -t 10 -u "$replay_out" line || { say "sfreplay did not start"; exit 1; }
: >"$work/gw1.log"
SF_MQTT_PASSWORD=$(cat "$work/gw1.password") \
  build/publish/sfpublish -b "$url" -u gw1 --cafile "$work/ca.pem" gw1 "$work/gw1.log" &
pids+=($!)
say "gateway gw1: sflogger logs what sfreplay serves (${line#listening on }), sfpublish ships it"
say "the central log as it grows:"
build/logger/sflogger 127.0.0.1 "${line##*:}" "$work/gw1.log" &
logger_pid=$!
pids+=("$logger_pid")

# Prints the central log's lines that are new since the last call.
shown=0
show_new_lines() {
  local count
  [ -f "$work/central/gw1.log" ] || return 0
  count=$(wc -l <"$work/central/gw1.log")
  if [ "$count" -gt "$shown" ]; then
    sed -n "$((shown + 1)),${count}p" "$work/central/gw1.log"
    shown=$count
  fi
}
for tries in $(seq 300); do
  show_new_lines
  if ! kill -0 "$logger_pid" 2>/dev/null && cmp -s "$work/gw1.log" "$work/central/gw1.log"; then
    show_new_lines
    echo "central log identical to the gateway's ($(wc -l <"$work/gw1.log") lines)"
    exit 0
  fi
  sleep 0.1
done
say "after 30 s, the central log differs from the gateway's:"
diff "$work/gw1.log" "$work/central/gw1.log" >&2 || true
exit 1
