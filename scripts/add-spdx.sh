#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Puts the licence identifier at the top of every tracked source file that
# lacks it: "// SPDX-..." as the first line of C and C++ files, "# SPDX-..."
# in CMake, shell and make files (after a "#!" line), "/* SPDX-... */" in
# linker scripts. Running it again changes nothing.
#
#   scripts/add-spdx.sh          add the missing identifiers
#   scripts/add-spdx.sh --check  list files without one; exit 1 if there are any
set -euo pipefail
cd "$(dirname "$0")/.."

tag='SPDX-License-Identifier: Apache-2.0'
check=0
[ "${1:-}" = --check ] && check=1

if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "add-spdx: not a git checkout; nothing to look at" >&2
  exit 77
fi

comment_for() {
  case "$1" in
    *.c | *.cpp | *.h) echo "// $tag" ;;
    *.ld) echo "/* $tag */" ;;
    CMakeLists.txt | */CMakeLists.txt | *.cmake | *.sh | Makefile | */Makefile | *.bash | *.bash.in) echo "# $tag" ;;
    *) return 1 ;;
  esac
}

missing=0
while IFS= read -r -d '' file; do
  line=$(comment_for "$file") || continue
  [ -f "$file" ] || continue
  # Present when any of the first three lines names the licence.
  if head -n 3 "$file" | grep -q 'SPDX-License-Identifier:'; then continue; fi
  if [ "$check" = 1 ]; then
    echo "no licence identifier: $file"
    missing=$((missing + 1))
    continue
  fi
  tmp=$(mktemp "$file.spdx.XXXXXX")
  if head -n 1 "$file" | grep -q '^#!'; then
    { head -n 1 "$file"; echo "$line"; tail -n +2 "$file"; } >"$tmp"
  else
    { echo "$line"; cat "$file"; } >"$tmp"
  fi
  chmod --reference="$file" "$tmp"
  mv "$tmp" "$file"
  echo "added: $file"
done < <(git ls-files -z)

if [ "$check" = 1 ]; then
  if [ "$missing" -gt 0 ]; then
    echo "$missing file(s) without '$tag'; run scripts/add-spdx.sh"
    exit 1
  fi
  echo "every source file carries '$tag'"
fi
