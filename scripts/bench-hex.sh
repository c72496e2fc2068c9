#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the release preset and measures the HEX loader: wall time against objcopy on the same
# 12 MB file (4 MiB of STM32 flash), then the peak resident set size of one load.
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
cmake --build "$build_dir" --target hex_load_bench

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
rm -rf "$(dirname "$hex")"
