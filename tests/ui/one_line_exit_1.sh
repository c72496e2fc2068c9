#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs PROGRAM and passes when it ends with exit status 1 after exactly one
# line of output that matches the shell pattern PATTERN.
#   one_line_exit_1.sh PATTERN PROGRAM [ARG...]
pattern=$1
shift
out=$("$@" 2>&1)
rc=$?
printf '%s\n' "$out"
[ "$rc" -eq 1 ] || { echo "exit status $rc, not 1"; exit 1; }
[ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ] || { echo "more than one line"; exit 1; }
case $out in
  $pattern) ;;
  *) echo "the line does not match: $pattern"; exit 1 ;;
esac
