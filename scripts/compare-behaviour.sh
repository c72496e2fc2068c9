#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs two builds of quorvel-cli over the same cases on simulated bootloaders
# and compares what they did, byte for byte: standard output, standard error,
# exit status, the simulated device's --trace and the image files. Progress
# events that only a clock decides (the ones between 0 and full) are left out.
#
#   scripts/compare-behaviour.sh OLD_BUILD_DIR NEW_BUILD_DIR
#
# Each directory is a build tree holding src/cli/quorvel-cli. Prints one line
# per differing case and "N/N identical"; exits 1 when any case differs.
set -euo pipefail

if [[ $# -ne 2 ]]; then
  echo "usage: $0 OLD_BUILD_DIR NEW_BUILD_DIR" >&2
  exit 2
fi
old_cli=$(realpath "$1")/src/cli/quorvel-cli
new_cli=$(realpath "$2")/src/cli/quorvel-cli
for cli in "$old_cli" "$new_cli"; do
  [[ -x $cli ]] || { echo "$0: $cli is not an executable" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
data=$work/data
mkdir -p "$data"

# --- HEX files ---------------------------------------------------------------
# Per family: "low" (from the start of flash, with the reset entry the
# relocation reads), "app" (from the bottom layout's program start), "over"
# (reaching past the bootloader and the end of flash) and "high" (only above
# the flash: nothing to write). PIC32 adds boot-flash files.
python3 - "$data" <<'PY'
import os, sys
out = sys.argv[1]

def record(kind, address, payload):
    body = [len(payload), (address >> 8) & 0xFF, address & 0xFF, kind] + list(payload)
    return ":" + "".join("%02X" % b for b in body) + "%02X" % ((-sum(body)) & 0xFF)

def hexfile(segments):
    lines, upper = [], None
    for address, data in segments:
        for i in range(0, len(data), 16):
            a = address + i
            if a >> 16 != upper:
                upper = a >> 16
                lines.append(record(4, 0, [(upper >> 8) & 0xFF, upper & 0xFF]))
            lines.append(record(0, a & 0xFFFF, data[i:i + 16]))
    lines.append(":00000001FF")
    return "\n".join(lines) + "\n"

def pattern(n, seed):
    return bytes(((i * 7 + seed) ^ (i >> 8)) & 0xFF for i in range(n))

SIXTEEN = {4, 10, 11}
STM32 = {34, 35, 36, 37}
# family code: (name, bottom program start in device units, boot start, flash size in image bytes)
FAMILIES = {
    1: 0x1000, 2: 0x1000, 3: 0x1000, 4: 0x1000, 10: 0x1000, 11: 0x1000, 20: 0x4000,
    30: 0x4000, 31: 0x4000, 32: 0x4000, 33: 0x4000, 34: 0x4000, 35: 0x4000, 36: 0x8000, 37: 0x8000, 38: 0x4000,
}
SIZES = {1: 0x4000, 2: 0x8000, 3: 0x10000, 4: 0x10200, 10: 0xC000, 11: 0x40800, 20: 0x80000,
         34: 0x20000, 35: 0x20000, 36: 0x100000, 37: 0x100000}

def segment(family, image_offset, image):
    if family in SIXTEEN:
        data = bytearray()
        for i in range(0, len(image), 3):
            data += bytes(image[i:i + 3]).ljust(3, b"\xff") + b"\x00"
        return (image_offset // 3 * 4, bytes(data))
    base = 0x1D000000 if family == 20 else 0x08000000 if family in STM32 else 0
    return (base + image_offset, image)

def entry(family, image):
    image = bytearray(image)
    if family in SIXTEEN:
        image[0:6] = bytes([0x00, 0x02, 0x04, 0x00, 0x00, 0x00])  # goto 0x200
    elif family in (1, 2, 3):
        image[0:4] = bytes([0x00, 0xEF, 0x01, 0xF0]) if family != 1 else bytes([0x00, 0x28, 0x00, 0x00])
    elif family == 20:
        image[0:8] = bytes([0x00, 0x9D, 0x1A, 0x3C, 0x00, 0x10, 0x5A, 0x27])
    else:
        image[0:8] = (0x20001000).to_bytes(4, "little") + (0x00000201 | (0x08000000 if family in STM32 else 0)).to_bytes(4, "little")
    return bytes(image)

for family, program_start in FAMILIES.items():
    app = (program_start // 2 * 3) if family in SIXTEEN else program_start
    size = SIZES.get(family, 0x40000)
    files = {
        "low": [segment(family, 0, entry(family, pattern(3000, family)))],
        "app": [segment(family, app, entry(family, pattern(2500, family + 1)))],
        "over": [segment(family, 0, entry(family, pattern(600, family + 2))),
                 segment(family, size - 300, pattern(700, family + 3))],
        "high": [segment(family, size + 0x1000, pattern(200, family + 4))],
    }
    if family == 20:
        boot = pattern(1200, 99)
        files["boot"] = files["low"] + [(0x1FC00000, boot)]
        files["bootonly"] = [(0x1FC00000, boot)]
        files["bootover"] = [(0x1FC00000, pattern(13000, 98))]
    for name, segments in files.items():
        with open(os.path.join(out, "f%d-%s.hex" % (family, name)), "w") as f:
            f.write(hexfile(segments))

good = hexfile([(0x08000000, entry(37, pattern(500, 5)))])
with open(os.path.join(out, "checksum.hex"), "w") as f:
    lines = good.splitlines()
    lines[2] = lines[2][:-2] + ("00" if lines[2][-2:] != "00" else "01")
    f.write("\n".join(lines) + "\n")
with open(os.path.join(out, "badchar.hex"), "w") as f:
    f.write(good.replace(good.splitlines()[3], good.splitlines()[3][:9] + "ZZ" + good.splitlines()[3][11:]))
with open(os.path.join(out, "empty.hex"), "w") as f:
    f.write("")
with open(os.path.join(out, "noeof.hex"), "w") as f:
    f.write("\n".join(good.splitlines()[:-1]) + "\n")
PY
mkdir -p "$data/folder.hex"

# --- cases -------------------------------------------------------------------
# One case a line: name|cli arguments (@D: the data folder; @O: this run's
# output folder). Each run gets --trace unless it names its own options.
cases=()
add() { cases+=("$1|$2"); }

families=(1 2 3 4 10 11 20 30 31 32 33 34 35 36 37 38)
for f in "${families[@]}"; do
  add "upload-top-$f" "--simulate family=$f --yes upload @D/f$f-low.hex"
  add "upload-bottom-$f" "--simulate family=$f,revision=0x1201 --yes upload @D/f$f-app.hex"
  add "image-top-$f" "--simulate family=$f image @D/f$f-low.hex --out @O/flash.bin --boot-out @O/boot.bin"
  add "image-bottom-$f" "--simulate family=$f,revision=0x1201 image @D/f$f-app.hex --out @O/flash.bin --boot-out @O/boot.bin"
  add "declined-top-$f" "--simulate family=$f upload @D/f$f-over.hex"
  add "declined-bottom-$f" "--simulate family=$f,revision=0x1201 upload @D/f$f-over.hex"
  add "nothing-$f" "--simulate family=$f --yes upload @D/f$f-high.hex"
  add "json-over-$f" "--json --simulate family=$f --yes upload @D/f$f-over.hex"
done
# PIC32: program and boot flash, boot flash only, boot flash too large.
for layout in "" ",revision=0x1201"; do
  l=${layout:+bottom}; l=${l:-top}
  add "pic32-boot-$l" "--simulate family=20$layout --yes -v upload @D/f20-boot.hex"
  add "pic32-bootonly-$l" "--simulate family=20$layout --yes upload @D/f20-bootonly.hex"
  add "pic32-bootover-no-$l" "--simulate family=20$layout upload @D/f20-bootover.hex"
  add "pic32-bootover-yes-$l" "--simulate family=20$layout --yes upload @D/f20-bootover.hex"
  add "pic32-image-$l" "--simulate family=20$layout image @D/f20-boot.hex --out @O/flash.bin --boot-out @O/boot.bin"
done
# Time-outs, refused chunks, removals, stalls and skipped erases on the way.
for event in 1 2 3 4 5 6 9; do
  add "drop-$event" "--simulate family=37,answer-ms=0,drop=$event --yes upload @D/f37-low.hex"
  add "nak-$event" "--simulate family=35,nak=$event --yes upload @D/f35-low.hex"
  add "unplug-$event" "--simulate family=2,unplug=$event --yes upload @D/f2-low.hex"
done
add "stall-5" "--simulate family=30,stall=5 --yes upload @D/f30-low.hex"
add "nak-pic32-boot" "--simulate family=20,nak=12 --yes upload @D/f20-boot.hex"
add "unplug-pic32-boot" "--simulate family=20,unplug=14 --yes upload @D/f20-boot.hex"
add "late-erase" "--simulate family=37,erase-ms=5000,late=4 --yes upload @D/f37-low.hex"
# Flash written wrongly: an erase acknowledged but not done.
add "skip-erase" "--simulate family=35,skip=4 --yes upload @D/f35-low.hex"
add "skip-erase-json" "--json --simulate family=35,skip=4 --yes upload @D/f35-low.hex"
# Geometries that are unsafe to upload to.
add "refuse-erase0" "--simulate family=37,erase=0 --yes upload @D/f37-low.hex"
add "refuse-write0" "--simulate family=35,write=0 --yes upload @D/f35-low.hex"
add "refuse-misaligned" "--simulate family=35,boot-start=0x1C100 --yes upload @D/f35-low.hex"
add "refuse-bootstart0" "--simulate family=30,boot-start=0 --yes upload @D/f30-low.hex"
add "refuse-bottom-past-end" "--simulate family=30,revision=0x1201,program-start=0x50000 --yes upload @D/f30-app.hex"
add "refuse-pic32-boot" "--simulate family=20,boot-start=0x9D000000 --yes upload @D/f20-low.hex"
add "refuse-write-large" "--simulate family=2,write=2048 --yes upload @D/f2-low.hex"
# Files.
add "file-missing" "--simulate family=37 upload @D/none.hex"
add "file-folder" "--simulate family=37 upload @D/folder.hex"
add "file-checksum" "--simulate family=37 --yes upload @D/checksum.hex"
add "file-badchar" "--simulate family=37 --yes upload @D/badchar.hex"
add "file-empty" "--simulate family=37 --yes upload @D/empty.hex"
add "file-noeof" "--simulate family=37 --yes upload @D/noeof.hex"
add "file-checksum-json" "--json --simulate family=37 --yes upload @D/checksum.hex"
add "image-checksum" "--simulate family=37 image @D/checksum.hex --out @O/flash.bin"
add "wrong-family" "--simulate family=2 --yes upload @D/f37-low.hex"
# Discovery and the other commands.
add "list" "--simulate family=37,serial=A1 --simulate family=2,serial=B2 list"
add "list-json" "--json --simulate family=37,serial=A1 list"
add "info" "--simulate family=11,description=Board info"
add "info-json" "--json --simulate family=20,revision=0x1201 info"
add "several" "--simulate family=37,serial=A1 --simulate family=2,serial=B2 info"
add "several-serial" "--simulate family=37,serial=A1 --simulate family=2,serial=B2 --serial B2 --yes upload @D/f2-low.hex"
add "no-bootloader" "--simulate family=37,product=Other info"
add "info-dropped" "--simulate family=37,drop=1 info"
add "quiet-upload" "-q --simulate family=36 --yes upload @D/f36-low.hex"
add "quiet-declined" "-q --simulate family=36 upload @D/f36-over.hex"
add "quiet-timeout" "-q --simulate family=37,drop=4 --yes upload @D/f37-low.hex"
add "quiet-removed" "-q --simulate family=30,unplug=6 --yes upload @D/f30-low.hex"
add "quiet-refused" "-q --simulate family=37,erase=0 --yes upload @D/f37-low.hex"
add "quiet-nothing" "-q --simulate family=35 --yes upload @D/f35-high.hex"
add "quiet-violation" "-q --simulate family=35,skip=4 --yes upload @D/f35-low.hex"
add "quiet-json-timeout" "-q --json --simulate family=37,drop=6 --yes upload @D/f37-low.hex"
add "verbose-upload" "-v --simulate family=38,revision=0x1201 --yes upload @D/f38-app.hex"
add "bad-simulate" "--simulate family=99 info"
add "same-file" "--simulate family=37 image @D/f37-low.hex --out @D/f37-low.hex"

# --- running -----------------------------------------------------------------
run_case() {  # cli dir args
  local cli=$1 dir=$2 args=$3
  mkdir -p "$dir"
  args=${args//@D/$data}
  args=${args//@O/$dir}
  local -a argv
  read -r -a argv <<<"$args"
  local -a trace=()
  [[ " $args " == *" --simulate "* ]] && trace=(--trace "$dir/trace.txt")
  set +e
  (cd "$dir" && timeout 60 "$cli" "${trace[@]}" "${argv[@]}" >"$dir/stdout" 2>"$dir/stderr" </dev/null)
  echo $? >"$dir/status"
  set -e
  # The output folder's name differs between the two runs; progress between
  # 0 and full depends on the clock.
  for f in stdout stderr; do
    sed -i -e "s|$dir|@O|g" -e "s|$data|@D|g" "$dir/$f"
    if grep -q '"event":"progress"' "$dir/$f"; then
      python3 - "$dir/$f" <<'PY'
import json, sys
path = sys.argv[1]
kept = []
for line in open(path, encoding="utf-8", errors="surrogateescape"):
    try:
        event = json.loads(line)
    except ValueError:
        kept.append(line); continue
    if event.get("event") == "progress" and 0 < event.get("done", 0) < event.get("total", 0):
        continue
    kept.append(line)
open(path, "w", encoding="utf-8", errors="surrogateescape").writelines(kept)
PY
    fi
  done
}

same=0
total=0
for entry in "${cases[@]}"; do
  name=${entry%%|*}
  args=${entry#*|}
  run_case "$old_cli" "$work/old/$name" "$args"
  run_case "$new_cli" "$work/new/$name" "$args"
  total=$((total + 1))
  if diff -r "$work/old/$name" "$work/new/$name" >"$work/diff-$name" 2>&1; then
    same=$((same + 1))
  else
    echo "DIFFERS: $name ($args)"
    head -20 "$work/diff-$name"
  fi
  if [[ -n ${COMPARE_VERBOSE:-} ]]; then
    echo "$name: exit $(cat "$work/old/$name/status"), $({ wc -l <"$work/old/$name/trace.txt"; } 2>/dev/null || echo 0) trace lines"
  fi
done
echo "$same/$total identical"
[[ $same -eq $total ]]
