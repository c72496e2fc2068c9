#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Drives the generated bash completion of quorvel-cli as bash would, and
# checks that every family it offers is one quorvel-cli accepts.
#   completion_check.sh COMPLETION QUORVEL_CLI
set -uo pipefail
completion=$(realpath "$1") cli=$(realpath "$2")
export LC_ALL=C
# shellcheck source=/dev/null
source "$completion" || { echo "the completion script does not load"; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" && mkdir fw && touch fw/app.hex fw/BOOT.IHEX fw/app.elf fw/app.bin fw/notes.txt fw/app.hex.bak

failed=0
# offers LINE EXPECTED: completing at the end of LINE offers the words EXPECTED.
offers() {
  COMP_LINE=$1 COMP_POINT=${#1} COMPREPLY=()
  _quorvel_cli
  local actual
  actual=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
  if [ "$actual" != "$2" ]; then
    echo "FAIL: '$1' offers '$actual', expected '$2'"
    failed=$((failed + 1))
  fi
}

offers "quorvel-cli " "image info list upload"
offers "quorvel-cli --wait 5 --serial X l" "list"
offers "quorvel-cli list --s" "--serial --simulate --skip-blank"
offers "quorvel-cli --ver" "--verbose --version"
offers "quorvel-cli --json upload fw/" "fw/BOOT.IHEX fw/app.bin fw/app.elf fw/app.hex"
offers "quorvel-cli upload fw/app.hex " ""
offers "quorvel-cli image fw/app.hex --out fw/n" "fw/notes.txt"
offers "quorvel-cli --format " "bin elf hex"
offers "quorvel-cli upload --format=e" "elf"
offers "quorvel-cli --simulate pl" "plug-after="
offers "quorvel-cli --simulate family=stm32f" "STM32F1XX STM32F2XX STM32F4XX"
offers "quorvel-cli --simulate=family=PIC32,wr" "PIC32,write="
offers "quorvel-cli --simulate size=0x100,family=TI" "TIVA_C"

for family in $_quorvel_cli_families; do
  if ! "$cli" --simulate "family=$family" list >/dev/null 2>&1; then
    echo "FAIL: quorvel-cli refuses the offered family $family"
    failed=$((failed + 1))
  fi
done

[ "$failed" -eq 0 ] && echo "completion offers what it should"
exit "$failed"
