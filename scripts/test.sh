#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds everything with the default preset and runs the whole test suite:
# unit, engine, window (offscreen), command-line tests, then the VM test that
# drives the real Linux HID stack through a uhid device inside qemu, then the
# release build with its Debian package, then the sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset default
cmake --build --preset default -j "$jobs"
QT_QPA_PLATFORM=offscreen ctest --preset default -j "$jobs"

if [ -x scripts/vm-test.sh ] && [ "${QUORVEL_SKIP_VM_TEST:-0}" != 1 ]; then
  scripts/vm-test.sh
fi

# The release build (warnings as errors too) and its tests, then the Debian
# package made from it, unpacked and checked. QUORVEL_SKIP_PACKAGE=1 skips them.
if [ "${QUORVEL_SKIP_PACKAGE:-0}" != 1 ]; then
  scripts/build-deb.sh
  QT_QPA_PLATFORM=offscreen ctest --preset release -j "$jobs"
  scripts/check-deb.sh
fi

# The same tests under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# threaded ones under ThreadSanitizer. QUORVEL_SKIP_SANITIZERS=1 skips both.
if [ "${QUORVEL_SKIP_SANITIZERS:-0}" != 1 ]; then
  for preset in asan-ubsan tsan; do
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j "$jobs"
    QT_QPA_PLATFORM=offscreen ctest --preset "$preset" -j "$jobs"
  done
fi
