#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the release preset and measures the HEX loader: wall time against objcopy on the same
# 12 MB file (4 MiB of STM32 flash), then the peak resident set size of one load, then the whole
# `quorvel-cli image` run against `objcopy -I ihex -O binary` on that file, in pairs
# (RUNS pairs, 11 unless given; the median of the pairs' ratios is the figure to quote).
#   scripts/bench-hex.sh                   uses build/release
#   BUILD_DIR=/some/dir scripts/bench-hex.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build/release}
if [ "$build_dir" = build/release ]; then
  cmake --preset release >/dev/null
else
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_WERROR=ON >/dev/null
fi
cmake --build "$build_dir" --target hex_load_bench quorvel-cli

bench="$build_dir/bench/hex_load_bench"
out=$(QUORVEL_BENCH_KEEP=1 "$bench" --benchmark_color=false "$@")
echo "$out"
hex=$(sed -n 's/^kept //p' <<<"$out")

echo
echo "Peak memory of one load:"
if [ -x /usr/bin/time ]; then
  /usr/bin/time -f "max RSS %M KiB, wall %e s" "$bench" --load-once "$hex"
else
  "$bench" --load-once "$hex"
fi
size=$(stat -c %s "$hex")
echo "budget: file + 2 x image = $(( (size + 2 * 4194304) / 1024 )) KiB"

echo
echo "End to end, quorvel-cli image against objcopy:"
python3 - "$build_dir/src/cli/quorvel-cli" "$hex" "${RUNS:-11}" <<'PY'
import os, statistics, subprocess, sys, tempfile, time
cli, hex_file, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
out = tempfile.mkdtemp()
ours = [cli, "--simulate", "family=STM32F4XX,revision=0x1200,size=0x400000,boot-start=0x400000,erase=16384,write=256",
        "image", hex_file, "--out", os.path.join(out, "f.bin")]
theirs = ["objcopy", "-I", "ihex", "-O", "binary", hex_file, os.path.join(out, "o.bin")]

def timed(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start

timed(ours), timed(theirs)  # warm the page cache
pairs = [(timed(ours), timed(theirs)) for _ in range(runs)]
ratios = [a / b for a, b in pairs]
print("quorvel-cli median %.1f ms, objcopy median %.1f ms" % (
    1e3 * statistics.median(a for a, _ in pairs), 1e3 * statistics.median(b for _, b in pairs)))
print("ratio per pair: min %.2f, median %.2f, max %.2f over %d pairs (target <= 0.50)" % (
    min(ratios), statistics.median(ratios), max(ratios), runs))
PY
rm -rf "$(dirname "$hex")"
