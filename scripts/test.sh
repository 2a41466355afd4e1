#!/usr/bin/env bash
# Installs what the tests need, builds everything into build/ and runs the
# whole test suite, the slow dead-peer test included. Exits non-zero when a
# test fails; ends with ctest's summary. A step that fails says which it was
# and what its tool said.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
# tshark and libpcap for the Wireshark tools; iproute2 and util-linux (unshare,
# setpriv, prlimit) for the dead-peer test's network namespace and the tests
# that drop privileges or limits; strace to fail a system call on purpose;
# e2fsprogs (chattr), mount (losetup) and logrotate for the file tests;
# mosquitto, its clients and openssl for the fleet tests; zlib, liblzma,
# libzstd and libbz2 (and their tools, to make test files) for rotated files;
# prometheus-cpp for their metrics, and Prometheus (with promtool) to read them.
need_packages cmake make g++ pkgconf libgtest-dev libpcap-dev tshark iproute2 util-linux strace e2fsprogs \
  mount logrotate libmosquitto-dev mosquitto mosquitto-clients openssl zlib1g-dev liblzma-dev libzstd-dev \
  libbz2-dev xz-utils zstd bzip2 prometheus-cpp-dev prometheus

# Debian starts the services of the brokers and servers it installs; the
# tests start their own, on ports of their own, and need none of them.
started=()
for service in mosquitto prometheus; do
  [[ " ${installed_packages[*]-} " == *" $service "* ]] || continue
  systemctl is-active --quiet "$service" 2>/dev/null && started+=("$service")
done
[ ${#started[@]} -eq 0 ] ||
  echo "$(basename "$0"): installing them started ${started[*]}, which the tests do not need;" \
    "to stop: systemctl disable --now ${started[*]}" >&2

# aedes, a broker of MQTT 3.1.1 only, for the test of the fallback from v5.
command -v npm >/dev/null 2>&1 || need_packages nodejs npm
[ -f build/aedes/node_modules/aedes/package.json ] ||
  run_step "installing aedes from the npm registry" \
    npm install --prefix build/aedes --no-audit --no-fund --no-save --loglevel=error aedes@0.51.3

cmake -S . -B build -DBUILD_TESTING=ON >/dev/null
cmake --build build -j
ctest --test-dir build -j4 --output-on-failure
