#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the permission tests of each PROGRAM as a normal user, where a missing
# check shows: root passes every access() test and opens any file.
#   as_nobody.sh FILTER PROGRAM...
# As root, each program is copied to a fresh folder that user "nobody" can
# reach (the build tree may sit where it cannot) and run there through
# setpriv, with HOME and TMPDIR in a folder of its own and, in
# QUORVEL_FOREIGN_FILE, a settings file that its owner (root) may write but
# nobody may not. Run by anyone else, the programs run as that user.
# Fails when a test fails, is skipped or when none ran; exits 77 (skipped)
# where root cannot become nobody (no setpriv, or no right to switch).
set -euo pipefail
filter=$1
shift

run_all() {  # runner...
  local program out status=0
  for program in "${programs[@]}"; do
    out=$("$@" "$program" --gtest_filter="$filter" 2>&1) || status=1
    printf '%s\n' "$out"
    if ! grep -q '^\[  PASSED  \] [1-9]' <<<"$out"; then
      echo "as_nobody.sh: no test of $(basename "$program") passed"
      status=1
    fi
    if [ "$(id -u)" = 0 ] && grep -q '^\[  SKIPPED \]' <<<"$out"; then
      echo "as_nobody.sh: a test of $(basename "$program") was skipped as nobody"
      status=1
    fi
  done
  return "$status"
}

programs=("$@")
if [ "$(id -u)" != 0 ]; then
  run_all env
  exit
fi

as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
if ! command -v setpriv >/dev/null || ! "${as_nobody[@]}" true 2>/dev/null; then
  echo "as_nobody.sh: cannot run as nobody here"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir "$work/bin" "$work/home" "$work/foreign"
copies=()
for program in "${programs[@]}"; do
  install -m 755 "$program" "$work/bin/"
  copies+=("$work/bin/$(basename "$program")")
done
programs=("${copies[@]}")
chown nobody:nogroup "$work/home"
chmod 700 "$work/home"
# Root's own file in root's own folder: nobody may read it, but neither write
# it nor replace it.
printf '[s]\r\na=1\r\n' >"$work/foreign/Settings.ini"
chmod 644 "$work/foreign/Settings.ini"

cd "$work/home"
run_all "${as_nobody[@]}" env HOME="$work/home" TMPDIR="$work/home" XDG_RUNTIME_DIR="$work/home" \
  QUORVEL_FOREIGN_FILE="$work/foreign/Settings.ini"
