#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Renders the uploader's window to a PNG without a display (Qt's offscreen
# platform), with a simulated bootloader attached so the device fields are
# filled in. Builds the `quorvel` program first when needed.
#
#   scripts/render-window.sh [OUTPUT.png] [SIMULATED-PROFILE]
#
# Defaults: build/window.png and family=STM32F4XX. Set BUILD_DIR to use
# another build tree (default: build/default, the default preset's).
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-build/window.png}
profile=${2:-family=STM32F4XX}
build=${BUILD_DIR:-build/default}

if [ ! -f "$build/build.ninja" ] && [ ! -f "$build/Makefile" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug
fi
cmake --build "$build" --target quorvel -j "$(nproc 2>/dev/null || echo 2)"

exe=$(find "$build" -type f -name quorvel -perm -u+x | head -n 1)
if [ -z "$exe" ]; then
  echo "render-window: quorvel was not built in $build" >&2
  exit 1
fi

mkdir -p "$(dirname "$out")"
# The screenshot run writes no settings file unless QUORVEL_SETTINGS names one.
QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$(mktemp -d)} \
  "$exe" --simulate "$profile" --screenshot "$out"
echo "render-window: wrote $out"
