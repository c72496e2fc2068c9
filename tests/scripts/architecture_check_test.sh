#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# check-architecture.sh must pass on the tree as it is and fail on each kind
# of fault: an upward include or link, Qt in a plain C++ folder, Widgets in
# the engine, a folder without a rule.
#   architecture_check_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
check=$source_dir/scripts/check-architecture.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$check" "$source_dir" >/dev/null

fails_with() {  # file line expected-words
  rm -rf "$work/tree" && mkdir -p "$work/tree" && cp -r "$source_dir/src" "$work/tree/"
  echo "$2" >>"$work/tree/src/$1"
  if out=$("$check" "$work/tree" 2>&1); then
    echo "not caught: '$2' in src/$1"
    exit 1
  fi
  [[ $out == *"$3"* ]] || { echo "unexpected report for '$2': $out"; exit 1; }
}
fails_with upload/geometry.h '#include "engine/engine.h"' "upload/ may not include engine/"
fails_with protocol/frames.h '#include <QString>' "protocol/ is plain C++"
fails_with engine/texts.h '#include <QWidget>' "engine/ may use Qt Core only"
fails_with hid/hid_types.h '#include "sim/sim_platform.h"' "hid/ may not include sim/"
fails_with cli/cli_log.h '#include "engine/controls_model.h"' "may include only the engine's API"
fails_with ui/controls.h '#include "engine/engine_probe.h"' "may include only the engine's API"
fails_with upload/CMakeLists.txt 'target_link_libraries(quorvel_upload PUBLIC quorvel_engine)' "upload/ may not link quorvel_engine"
fails_with engine/CMakeLists.txt 'target_link_libraries(quorvel_engine PUBLIC quorvel_sim)' "engine/ may not link quorvel_sim"
rm -rf "$work/tree" && mkdir -p "$work/tree" && cp -r "$source_dir/src" "$work/tree/" && mkdir "$work/tree/src/extra"
if "$check" "$work/tree" >/dev/null 2>&1; then echo "a folder without a rule was not caught"; exit 1; fi
echo "every fault was caught"
