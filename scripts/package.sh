#!/usr/bin/env bash
# Installs what the Debian packages' build lacks (the compiler, cmake, the
# libraries, and dpkg-dev and file, with which the packages' dependencies are
# computed from the binaries), builds them from the preset "package" and
# writes build-package/sflogger_VERSION_ARCH.deb and
# build-package/libsfsource-dev_VERSION_ARCH.deb, naming both.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh
need_packages cmake make g++ pkgconf gzip dpkg-dev file zlib1g-dev liblzma-dev libzstd-dev libbz2-dev libpcap-dev libmosquitto-dev prometheus-cpp-dev

cmake --preset package >/dev/null
cmake --build --preset package -j
rm -f build-package/*.deb
(cd build-package && cpack >cpack.log 2>&1) || { cat build-package/cpack.log >&2; exit 1; }
ls build-package/sflogger_*.deb build-package/libsfsource-dev_*.deb
