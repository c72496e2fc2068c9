#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks the packages scripts/build-deb.sh made in DIR (default build/deb):
# - lintian --pedantic on the .changes (so on the .dsc, the .debs and the
#   .buildinfo) finds no error and no warning; the tags it still shows are
#   printed;
# - the .deb unpacked into a scratch folder (dpkg -x): every file in place and
#   no other, no maintainer scripts, the programs run from there, the desktop
#   entry, MIME type, AppStream metadata, icons, manual pages and bash
#   completion are valid;
# - as root, where quorvel is not installed yet (CI's throwaway machine):
#   `apt-get install` of the .deb, the installed programs run and upload to
#   the simulated bootloader, and `apt-get purge` leaves no file behind;
# - given a second folder (a second build of the same tree elsewhere): each
#   .deb is byte-identical to its namesake there.
#   scripts/check-deb.sh [DIR [SECOND_DIR]]
set -uo pipefail
cd "$(dirname "$0")/.."

dir=${1:-build/deb}
again=${2:-}
deb=$(ls "$dir"/quorvel_*.deb 2>/dev/null | head -n 1)
changes=$(ls "$dir"/quorvel_*.changes 2>/dev/null | head -n 1)
if [ -z "$deb" ] || [ -z "$changes" ]; then
  echo "check-deb: no package in $dir; build it with scripts/build-deb.sh" >&2
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

lintian_clean() {
  lintian --display-info --display-experimental --pedantic --fail-on error,warning "$changes" 2>&1 |
    { grep -v 'running with root privileges' || true; }
}
check "lintian --pedantic: no error, no warning (the tags left are listed)" lintian_clean
[ "$failed" -eq 0 ] && sed 's/^/  /' "$scratch/out"

expected_files() {
  cat <<'EOF'
usr/bin/quorvel
usr/bin/quorvel-cli
usr/lib/udev/rules.d/60-quorvel-bootloader.rules
usr/share/applications/quorvel.desktop
usr/share/bash-completion/completions/quorvel-cli
usr/share/doc/quorvel/README-udev.md
usr/share/doc/quorvel/README.md.gz
usr/share/doc/quorvel/changelog.Debian.gz
usr/share/doc/quorvel/copyright
usr/share/icons/hicolor/128x128/apps/quorvel.png
usr/share/icons/hicolor/16x16/apps/quorvel.png
usr/share/icons/hicolor/256x256/apps/quorvel.png
usr/share/icons/hicolor/32x32/apps/quorvel.png
usr/share/icons/hicolor/48x48/apps/quorvel.png
usr/share/icons/hicolor/64x64/apps/quorvel.png
usr/share/icons/hicolor/scalable/apps/quorvel.svg
usr/share/lintian/overrides/quorvel
usr/share/man/man1/quorvel-cli.1.gz
usr/share/man/man1/quorvel.1.gz
usr/share/metainfo/org.quorvel.quorvel.metainfo.xml
usr/share/mime/packages/quorvel.xml
EOF
}
files_in_place() { diff <(expected_files) <(cd "$root" && find . -type f -printf '%P\n' | LC_ALL=C sort); }
check "each file in place, and no other (no test tools)" files_in_place

version=$(dpkg-deb -f "$deb" Version)
version=${version%-*}
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
# udev reads a new rule file by itself, and the desktop, MIME and icon caches
# are refreshed by their own packages' triggers: nothing to run on install.
no_maintainer_scripts() { [ "$(ls "$scratch/control" | tr '\n' ' ')" = "control md5sums " ]; }
check "no maintainer scripts" no_maintainer_scripts

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

# Installed for real: only as root, and never over a quorvel already installed.
if [ "$(id -u)" -eq 0 ] && ! dpkg-query -W -f='${Status}' quorvel 2>/dev/null | grep -q 'ok installed'; then
  # Everything a package may leave behind, apart from dpkg's and apt's own records.
  system_files() {
    find /etc /opt /srv /usr /var -xdev \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache \
      -o -path /var/log -o -path /var/tmp \) -prune -o -print 2>/dev/null | LC_ALL=C sort
  }
  system_files >"$scratch/before"
  install() { DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$(realpath "$deb")"; }
  check "apt-get install the .deb" install
  installed_runs() {
    [ "$(command -v quorvel-cli)" = /usr/bin/quorvel-cli ] &&
      [ "$(quorvel-cli --version)" = "quorvel-cli $version" ] && [ "$(quorvel --version)" = "quorvel $version" ] &&
      quorvel-cli --simulate family=STM32F4XX --yes upload samples/blink-stm32f4.hex
  }
  check "the installed quorvel-cli uploads to the simulated bootloader" installed_runs
  purge() { DEBIAN_FRONTEND=noninteractive apt-get purge -y -q quorvel; }
  check "apt-get purge" purge
  nothing_left() { system_files | diff "$scratch/before" -; }
  check "nothing left behind after the purge" nothing_left
else
  echo "skipped: install and purge (needs root, and no quorvel installed)"
fi

# The same tree built in another folder gives the same bytes.
if [ -n "$again" ]; then
  same_bytes() {
    local a b rc=0
    for a in "$dir"/*.deb; do
      b=$again/${a##*/}
      cmp "$a" "$b" && continue
      rc=1
      diff <(dpkg-deb -c "$a") <(dpkg-deb -c "$b")
      mkdir -p "$scratch/a" "$scratch/b" && dpkg-deb -R "$a" "$scratch/a" && dpkg-deb -R "$b" "$scratch/b" &&
        diff -r "$scratch/a" "$scratch/b"
      rm -rf "$scratch/a" "$scratch/b"
    done
    return $rc
  }
  check "reproducible: the .debs of $dir and $again are byte-identical" same_bytes
fi

echo "deb: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
