#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs every Debian 12 package the build, the tests, the benchmarks, the
# VM test and the Debian package (its build and checks) need. Safe to run
# again; uses sudo when not run as root.
#
# What the build needs comes from the Build-Depends in debian/control (apt-get
# build-dep), and only from there: a build dependency missing from that list
# then fails the first build, here and in CI. The list below is what the
# tests and checks need on top.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential dpkg-dev git
  libbenchmark-dev
  binutils xz-utils cpio
  xvfb xauth fonts-dejavu-core openbox x11-utils
  python3-pyatspi at-spi2-core dbus-daemon
  qemu-system-x86 busybox-static
  desktop-file-utils shared-mime-info man-db appstream lintian librsvg2-bin ccache
)

if [ "$(id -u)" -eq 0 ]; then SUDO=(); else SUDO=(sudo); fi
apt=("${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get)
updated=0
update() {
  if [ "$updated" = 0 ]; then
    "${apt[@]}" update -qq
    updated=1
  fi
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  update
  "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}"
fi

if dpkg-checkbuilddeps >/dev/null 2>&1; then
  echo "install-deps: all packages present"
else
  echo "install-deps: installing the Build-Depends of debian/control"
  update
  "${apt[@]}" build-dep -y -qq --no-install-recommends ./
fi
