#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds everything with the default preset and runs the whole test suite:
# unit, engine, window (offscreen), command-line tests, then the VM test that
# drives the real Linux HID stack through a uhid device inside qemu, then the
# Debian package (built twice, checked), then the sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
cmake --preset default
cmake --build --preset default -j "$jobs"
QT_QPA_PLATFORM=offscreen ctest --preset default -j "$jobs"

if [ -x scripts/vm-test.sh ] && [ "${QUORVEL_SKIP_VM_TEST:-0}" != 1 ]; then
  scripts/vm-test.sh
fi

# The Debian source and binary packages: dpkg-buildpackage, whose
# dh_auto_test runs the suite on the optimised, hardened build; then lintian,
# the .deb unpacked, installed and purged (as root), and a second build of the
# same tree in another folder (no tests, objects from ccache) that must give
# the same .debs. QUORVEL_SKIP_PACKAGE=1 skips them.
if [ "${QUORVEL_SKIP_PACKAGE:-0}" != 1 ]; then
  scripts/render-icons.sh --check
  # Warnings are errors here, as in the presets; the package itself does not
  # ask for that, so a newer compiler elsewhere does not fail its build.
  export DEB_CFLAGS_APPEND=-Werror DEB_CXXFLAGS_APPEND=-Werror
  scripts/build-deb.sh build/deb
  DEB_BUILD_OPTIONS=nocheck scripts/build-deb.sh build/deb-again
  scripts/check-deb.sh build/deb build/deb-again
  unset DEB_CFLAGS_APPEND DEB_CXXFLAGS_APPEND
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
