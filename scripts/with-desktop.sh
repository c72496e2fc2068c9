#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs a command on a virtual X display (Xvfb) managed by a small window
# manager (openbox), so window tests meet what users have: a frame around the
# window, the window manager's placement and keyboard focus.
#
#   scripts/with-desktop.sh [--dpi N] COMMAND [ARG...]
#
# --dpi 192 makes a high-density screen (Xft.dpi as desktops set it), which Qt
# draws at twice the scale. Exits 77, CTest's "skipped", when Xvfb, openbox or
# xprop is missing (scripts/install-deps.sh installs them).
set -euo pipefail

dpi=96
if [ "${1:-}" = --dpi ]; then
  dpi=$2
  shift 2
fi
if [ $# -eq 0 ]; then
  echo "usage: $0 [--dpi N] COMMAND [ARG...]" >&2
  exit 2
fi
for tool in Xvfb openbox xprop; do
  if ! command -v "$tool" >/dev/null; then
    echo "with-desktop: $tool is not installed" >&2
    exit 77
  fi
done

work=$(mktemp -d)
xvfb=
wm=
cleanup() {
  local pid
  for pid in $wm $xvfb; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# Waits up to 20 s for a condition; the machine may be busy building.
wait_for() {
  local i
  for ((i = 0; i < 200; i++)); do
    if "$@"; then return 0; fi
    sleep 0.1
  done
  return 1
}

# Xvfb picks a free display itself and writes its number once it accepts clients.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -dpi "$dpi" -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
if ! wait_for test -s "$work/display"; then
  echo "with-desktop: Xvfb did not start" >&2
  cat "$work/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$(head -n 1 "$work/display")"

openbox --sm-disable >"$work/openbox.log" 2>&1 &
wm=$!
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
if ! wait_for wm_ready; then
  echo "with-desktop: openbox did not start" >&2
  cat "$work/openbox.log" >&2
  exit 1
fi
# Set while openbox is connected: Xvfb resets its state when the last client leaves.
if [ "$dpi" != 96 ]; then
  xprop -root -f RESOURCE_MANAGER 8s -set RESOURCE_MANAGER "Xft.dpi:	$dpi"
fi

export QT_QPA_PLATFORM=xcb
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
status=0
"$@" || status=$?
exit "$status"
