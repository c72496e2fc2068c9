#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian source and binary packages the way Debian does, from the
# committed tree: the upstream tarball is `git archive` of HEAD without
# debian/ (the packaging travels in the .debian.tar.xz), it is unpacked with
# debian/ beside it, and `dpkg-buildpackage -us -uc` builds everything; its
# dh_auto_test runs the test suite unless DEB_BUILD_OPTIONS has nocheck.
# SOURCE_DATE_EPOCH comes from debian/changelog, so builds of the same tree
# give the same packages.
#   scripts/build-deb.sh [DIR]      (default: build/deb)
# DIR then holds quorvel_<version>.orig.tar.xz, the .dsc, .debian.tar.xz,
# .debs, .buildinfo and .changes. Uncommitted changes are not built.
# With ccache installed the compilers run through it, with CCACHE_BASEDIR the
# folder above DIR, so a second build in a sibling folder (the reproducibility
# check) takes its objects from the first.
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-build/deb}
source=$(dpkg-parsechangelog -S Source)
version=$(dpkg-parsechangelog -S Version)
upstream=${version%-*}
tree=$source-$upstream

# The Build-Depends, checked here so that a missing one is named before anything is built.
if ! dpkg-checkbuilddeps; then
  echo "build-deb: install the build dependencies: sudo apt-get build-dep ./" >&2
  exit 1
fi
if ! git diff --quiet HEAD; then
  echo "build-deb: note: uncommitted changes are not in the package (it is built from HEAD)" >&2
fi

rm -rf "$out"
mkdir -p "$out"
out=$(realpath "$out")
# xz in one thread: its multi-threaded output differs from machine to machine.
git archive --format=tar --prefix="$tree/" HEAD -- . ':(exclude)debian' | xz -6 -T1 >"$out/${source}_$upstream.orig.tar.xz"
tar -xf "$out/${source}_$upstream.orig.tar.xz" -C "$out"
git archive --format=tar HEAD debian | tar -xf - -C "$out/$tree"

if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  CCACHE_BASEDIR=$(dirname "$out")
  export CCACHE_BASEDIR
fi
jobs=$(nproc 2>/dev/null || echo 2)
# The tree is fresh: no clean before the source package, which would touch
# debian/ (--no-pre-clean alone would build the binary packages only).
(cd "$out/$tree" && dpkg-buildpackage -us -uc --build=full --no-pre-clean -j"$jobs")
ls "$out"/*.dsc "$out"/*.deb "$out"/*.changes
