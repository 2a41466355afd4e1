#!/usr/bin/env bash
# Installs what the tests need, builds everything into build/ and runs the
# whole test suite, the slow dead-peer test included. Exits non-zero when a
# test fails; ends with ctest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
# tshark and libpcap for the Wireshark tools, iproute2 and util-linux for the
# dead-peer test's network namespace, mosquitto and openssl for the fleet tests,
# prometheus-cpp for their metrics, and Prometheus (with promtool) to read them.
need_packages cmake make g++ zlib1g-dev pkgconf libgtest-dev libpcap-dev tshark iproute2 util-linux logrotate \
  libmosquitto-dev mosquitto mosquitto-clients openssl prometheus-cpp-dev prometheus

# aedes, a broker of MQTT 3.1.1 only, for the test of the fallback from v5.
command -v npm >/dev/null 2>&1 || need_packages nodejs npm
[ -f build/aedes/node_modules/aedes/package.json ] ||
  npm install --prefix build/aedes --no-audit --no-fund --no-save --silent aedes@0.51.3 >&2

cmake -S . -B build -DBUILD_TESTING=ON >/dev/null
cmake --build build -j
ctest --test-dir build -j4 --output-on-failure
