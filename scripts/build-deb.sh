#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the release preset and the Debian package from it:
# build/package/quorvel_<version>_<arch>.deb. Its Depends come from the
# libraries the programs link (dpkg-shlibdeps, from dpkg-dev).
#   sudo apt install ./build/package/quorvel_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset release
cmake --build --preset release -j "$jobs"
rm -f build/package/quorvel_*.deb
cpack --preset deb
ls build/package/quorvel_*.deb
