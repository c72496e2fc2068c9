#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fails when the help text in README.md drifts from what quorvel-cli --help prints.
set -euo pipefail
cli=$1 readme=$2
expected=$(awk '/^```$/{if(f){exit} else if(getline l>0 && l ~ /^Usage: quorvel-cli/){f=1; print l; next}} f' "$readme")
actual=$("$cli" --help)
if [ "$expected" != "$actual" ]; then
  diff <(echo "$expected") <(echo "$actual") || true
  echo "README.md's quorvel-cli help differs from --help; update the README."
  exit 1
fi
echo "README help matches"
