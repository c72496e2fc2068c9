#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Looks at a built Debian package as a user would get it, without installing
# it: unpacks it into a scratch folder (dpkg -x) and checks that every file is
# in place and nothing else is, that the programs run from there, that the
# desktop entry, MIME type, manual pages and bash completion are valid.
#   scripts/check-deb.sh [PACKAGE.deb]   (default: build/package/quorvel_*.deb)
set -uo pipefail
cd "$(dirname "$0")/.."

deb=${1:-$(ls -t build/package/quorvel_*.deb 2>/dev/null | head -n 1)}
if [ -z "$deb" ] || [ ! -f "$deb" ]; then
  echo "check-deb: no package; build it with scripts/build-deb.sh" >&2
  exit 1
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
root=$scratch/root
dpkg -x "$deb" "$root" || exit 1
dpkg-deb -e "$deb" "$scratch/control" || exit 1

passed=0 failed=0
check() {
  local name=$1
  shift
  if "$@" >"$scratch/out" 2>&1; then
    passed=$((passed + 1))
    echo "ok: $name"
  else
    failed=$((failed + 1))
    echo "FAILED: $name"
    sed 's/^/  /' "$scratch/out"
  fi
}

expected_files() {
  cat <<'EOF'
usr/bin/quorvel
usr/bin/quorvel-cli
usr/lib/udev/rules.d/60-quorvel-bootloader.rules
usr/share/applications/quorvel.desktop
usr/share/bash-completion/completions/quorvel-cli
usr/share/doc/quorvel/LICENSE
usr/share/doc/quorvel/README-udev.md
usr/share/doc/quorvel/README.md
usr/share/doc/quorvel/copyright
usr/share/icons/hicolor/128x128/apps/quorvel.png
usr/share/icons/hicolor/16x16/apps/quorvel.png
usr/share/icons/hicolor/256x256/apps/quorvel.png
usr/share/icons/hicolor/32x32/apps/quorvel.png
usr/share/icons/hicolor/48x48/apps/quorvel.png
usr/share/icons/hicolor/64x64/apps/quorvel.png
usr/share/icons/hicolor/scalable/apps/quorvel.svg
usr/share/man/man1/quorvel-cli.1.gz
usr/share/man/man1/quorvel.1.gz
usr/share/metainfo/org.quorvel.quorvel.metainfo.xml
usr/share/mime/packages/quorvel.xml
EOF
}
files_in_place() { diff <(expected_files) <(cd "$root" && find . -type f -printf '%P\n' | LC_ALL=C sort); }
check "each file in place, and no other (no test tools)" files_in_place

version=$(dpkg-deb -f "$deb" Version)
cli_version() { [ "$("$root/usr/bin/quorvel-cli" --version)" = "quorvel-cli $version" ]; }
check "quorvel-cli --version runs from the package" cli_version
window_without_display() {
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/quorvel" --help | grep -q '^Usage: quorvel ' &&
    [ "$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/usr/bin/quorvel" --version)" = "quorvel $version" ]
}
check "quorvel --help and --version without a display" window_without_display
list_simulated() { "$root/usr/bin/quorvel-cli" --simulate family=PIC32 list | grep -q 'USB HID Bootloader'; }
check "quorvel-cli lists a simulated bootloader" list_simulated

depends() { dpkg-deb -f "$deb" Depends | grep 'libqt6widgets6' | grep 'libqt6core6' | grep -q 'libudev1'; }
check "Depends computed from the linked libraries" depends
postinst() {
  [ -x "$scratch/control/postinst" ] && grep -q 'udevadm control --reload-rules' "$scratch/control/postinst" &&
    grep -q 'udevadm trigger --subsystem-match=hidraw' "$scratch/control/postinst" && sh -n "$scratch/control/postinst"
}
check "postinst reloads the udev rules and re-triggers hidraw" postinst

desktop=$root/usr/share/applications/quorvel.desktop
check "desktop-file-validate" desktop-file-validate "$desktop"
opens_with() { grep -qx 'Exec=quorvel --open %f' "$desktop"; }
check "the desktop entry opens one file with --open" opens_with
mime_known() {
  mkdir -p "$scratch/mime" && cp -r "$root/usr/share/mime/packages" "$scratch/mime/" &&
    update-mime-database "$scratch/mime" && local type &&
    for type in $(sed -n 's/^MimeType=//p' "$desktop" | tr ';' ' '); do
      grep -q "^[0-9]*:$type:\*\.hex$" "$scratch/mime/globs2" &&
        grep -q "^[0-9]*:$type:\*\.ihex$" "$scratch/mime/globs2" || return 1
    done
}
check "the entry's MIME type is defined for *.hex and *.ihex" mime_known

icon_sizes() {
  local png size
  for png in "$root"/usr/share/icons/hicolor/*x*/apps/quorvel.png; do
    size=${png%/apps/*}
    size=${size##*/}
    # The width and height stand in the PNG header, as 32-bit numbers at byte 16.
    [ "$(od -An -tu1 -j16 -N8 "$png" | awk '{ print $1*16777216+$2*65536+$3*256+$4 "x" $5*16777216+$6*65536+$7*256+$8 }')" = "$size" ] ||
      { echo "$png is not $size"; return 1; }
  done
}
check "each PNG icon has the size of its folder" icon_sizes
check "appstreamcli validate" appstreamcli validate --no-net "$root"/usr/share/metainfo/org.quorvel.quorvel.metainfo.xml

manual() {
  local page=$1 text
  text=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>"$scratch/man.err") &&
    [ ! -s "$scratch/man.err" ] && grep -q '^SYNOPSIS' <<<"$text" && grep -q -- '--version' <<<"$text" ||
    { cat "$scratch/man.err"; return 1; }
}
check "man -l renders quorvel(1)" manual quorvel
check "man -l renders quorvel-cli(1)" manual quorvel-cli

completion() {
  bash -c 'source "$1" && complete -p quorvel-cli' _ "$root/usr/share/bash-completion/completions/quorvel-cli"
}
check "the bash completion loads" completion

echo "deb: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
