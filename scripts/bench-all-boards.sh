#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Wall time of `quorvel-cli upload --all` on four simulated boards against one
# board uploaded alone, both paced as full-speed USB (pace=1). Prints the
# medians and their ratio; the goal is 1.25 or less.
#   scripts/bench-all-boards.sh                 builds and uses build/release
#   CLI=path/quorvel-cli scripts/bench-all-boards.sh
#   RUNS=9 BOARDS=4 scripts/bench-all-boards.sh
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${RUNS:-7}
boards=${BOARDS:-4}
hex=${HEX:-samples/blink-stm32f4.hex}
profile=${PROFILE:-family=STM32F4XX,pace=1}
cli=${CLI:-}
if [ -z "$cli" ]; then
  cmake --preset release >/dev/null
  cmake --build build/release --target quorvel-cli -j2 >/dev/null
  cli=build/release/src/cli/quorvel-cli
fi

now() { date +%s.%N; }

# median_of CMD... — runs CMD $runs times; prints the median wall time in seconds.
median_of() {
  local times=() start end
  for ((i = 0; i < runs; i++)); do
    start=$(now)
    "$@" >/dev/null 2>&1 || { echo "bench-all-boards: '$*' failed" >&2; exit 1; }
    end=$(now)
    times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.6f", b - a }')")
  done
  printf '%s\n' "${times[@]}" | sort -g | sed -n "$(((runs + 1) / 2))p"
}

sims=()
for ((b = 1; b <= boards; b++)); do sims+=(--simulate "$profile,serial=B$b"); done

single=$(median_of "$cli" --simulate "$profile" --yes upload "$hex")
single_all=$(median_of "$cli" --simulate "$profile" --yes --all upload "$hex")
many=$(median_of "$cli" "${sims[@]}" --yes --all upload "$hex")

printf 'one board, upload:          %.3f s (median of %d)\n' "$single" "$runs"
printf 'one board, upload --all:    %.3f s\n' "$single_all"
printf '%d boards, upload --all:     %.3f s\n' "$boards" "$many"
printf 'ratio %d boards / one board: %.3f (goal <= 1.25)\n' "$boards" "$(awk -v a="$many" -v b="$single" 'BEGIN { print a / b }')"
