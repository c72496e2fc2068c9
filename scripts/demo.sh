#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds quorvel-cli and uploads the bundled sample firmware (a blink program
# for an STM32F4 Discovery board) to the built-in simulated bootloader:
# history lines on standard output, a progress bar on a terminal.
#
#   scripts/demo.sh [extra quorvel-cli options, e.g. --json or -v]
set -euo pipefail
cd "$(dirname "$0")/.."

# A build folder of its own: only what the command line needs, optimised.
build=build/demo
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF \
  -DQUORVEL_BUILD_BENCH=OFF -DQUORVEL_BUILD_UI=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target quorvel-cli

exec "$build/src/cli/quorvel-cli" --simulate family=STM32F4XX "$@" upload samples/blink-stm32f4.hex
