#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Renders packaging/quorvel.svg to the PNG icons beside it
# (packaging/icons/NxN/quorvel.png), for desktops and software centres that
# want bitmaps. The PNGs are committed, so a build needs no SVG renderer; run
# this after changing the SVG. rsvg-convert (librsvg2-bin) writes no time
# stamp, so the same SVG always gives the same bytes.
#   scripts/render-icons.sh           write the PNGs
#   scripts/render-icons.sh --check   exit 1 if a committed PNG is out of date
set -euo pipefail
cd "$(dirname "$0")/../packaging"

check=0
[ "${1:-}" = --check ] && check=1
stale=0
for size in 16 32 48 64 128 256; do
  png=icons/${size}x${size}/quorvel.png
  mkdir -p "${png%/*}"
  if [ "$check" = 1 ]; then
    if ! rsvg-convert -w "$size" -h "$size" quorvel.svg | cmp -s - "$png"; then
      echo "out of date: packaging/$png (run scripts/render-icons.sh)"
      stale=1
    fi
  else
    rsvg-convert -w "$size" -h "$size" quorvel.svg -o "$png"
  fi
done
[ "$stale" = 0 ] && [ "$check" = 1 ] && echo "icons: every PNG matches quorvel.svg"
exit "$stale"
