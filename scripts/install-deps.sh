#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs every Debian 12 package the build, the tests, the benchmarks, the
# VM test and the Debian package (manual pages, its checks) need. Safe to run
# again; uses sudo when not run as root.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libudev-dev libelf-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  binutils xz-utils cpio
  xvfb xauth fonts-dejavu-core openbox x11-utils
  qemu-system-x86 busybox-static
  dpkg-dev help2man desktop-file-utils shared-mime-info man-db appstream
)

if [ "$(id -u)" -eq 0 ]; then SUDO=(); else SUDO=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
"${SUDO[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
