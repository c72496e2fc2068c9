#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Remakes the ELF files here from HEX files: ELF programs without program headers, in other
# classes and byte orders than a linker writes, to show they load as their HEX twin does.
# objcopy writes a HEX file's data as an object file (ET_REL), with no machine unless the output
# target names one; quorvel-cli takes only linked programs for the board's processor, so each file
# is then marked as a linked program (ET_EXEC) for ARM (40) or MIPS (8).
#   tests/cli/data/make-elfs.sh        (needs binutils and binutils-arm-none-eabi)
set -euo pipefail
cd "$(dirname "$0")"
root=../../..

arm-none-eabi-objcopy -I ihex -O elf32-littlearm "$root/samples/blink-stm32f4.hex" blink-from-hex.elf
objcopy -I ihex -O elf64-big "$root/samples/blink-stm32f4.hex" blink-from-hex-64be.elf
objcopy -I ihex -O elf32-little "$root/tests/vm/data/pic32.hex" pic32-from-hex.elf

# mark FILE MACHINE: e_type (offset 16) = ET_EXEC and e_machine (offset 18), in the file's byte order.
mark() {
  python3 - "$1" "$2" <<'PY'
import struct, sys
path, machine = sys.argv[1], int(sys.argv[2])
data = bytearray(open(path, "rb").read())
order = "<" if data[5] == 1 else ">"
data[16:20] = struct.pack(order + "HH", 2, machine)
open(path, "wb").write(data)
PY
}
mark blink-from-hex.elf 40
mark blink-from-hex-64be.elf 40
mark pic32-from-hex.elf 8
