#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Checks the folders of src/ against the layering: each folder may include
# and link only the folders listed for it, and the plain C++ folders include
# no Qt at all. Prints every offending line; exits 1 when there is one.
#
#   scripts/check-architecture.sh [SOURCE_DIR]
set -euo pipefail

root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
src=$root/src

# folder: the folders it may include (itself always), and its kind of Qt:
# none (plain C++), core (Qt Core only) or widgets.
declare -A allowed=(
  [core]=""
  [io]=""
  [image]="core io"
  [protocol]="core"
  [upload]="core image protocol"
  [hid]="core io"
  [sim]="core image io protocol upload hid"
  [engine]="core image io protocol upload hid"
  [assembly]="core image io protocol upload hid sim"
  [cli]="core image io protocol upload hid sim engine assembly"
  [ui]="core image io protocol upload hid engine"
  [app]="core image io protocol upload hid sim engine assembly ui"
)
declare -A qt=(
  [core]=none [io]=none [image]=none [protocol]=none [upload]=none
  [hid]=core [sim]=core [engine]=core [assembly]=core [cli]=core [ui]=widgets [app]=widgets
)
# What folders above the engine may include from it: its API, not its parts.
# The test seam (engine/engine_probe.h) is for tests alone.
engine_api='^engine/(engine|engine_types|frontend|outcomes|texts|install_layout)\.h$'
# Headers of Qt Core; anything else from Qt (Widgets, Gui) is a window's.
qt_core='^Q(t?Core.*|CoreApplication|Object|MetaObject|String|StringList|StringView|Latin1String|Char|ByteArray|ByteArrayView|CryptographicHash|Timer|ElapsedTimer|EventLoop|Event|SocketNotifier|FileInfo|Dir|File|RegularExpression|Variant|Pointer|Thread|Mutex|tGlobal|Debug|Json.*|TemporaryDir|TemporaryFile|Process|Url|Locale|List|Map|Hash|Set|Vector)$'

status=0
complain() {
  echo "$1"
  status=1
}

for folder in "${!allowed[@]}"; do
  [[ -d $src/$folder ]] || continue
  while IFS= read -r -d '' file; do
    rel=${file#"$root"/}
    while IFS= read -r line; do
      number=${line%%:*}
      text=${line#*:}
      if [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([a-z_]+)/ ]]; then
        target=${BASH_REMATCH[1]}
        [[ $target == "$folder" ]] && continue
        [[ -d $src/$target ]] || continue
        if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
          complain "$rel:$number: $folder/ may not include $target/: $text"
        elif [[ $target == engine && ! $text =~ \"(engine/[a-z_/]+\.h)\" ]]; then
          :
        elif [[ $target == engine && ! ${BASH_REMATCH[1]} =~ $engine_api ]]; then
          complain "$rel:$number: $folder/ may include only the engine's API from engine/: $text"
        fi
      elif [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\<(Q[A-Za-z0-9]*) ]]; then
        header=${BASH_REMATCH[1]}
        case ${qt[$folder]} in
          none) complain "$rel:$number: $folder/ is plain C++ and may not include Qt: $text" ;;
          core)
            if [[ ! $header =~ $qt_core ]]; then
              complain "$rel:$number: $folder/ may use Qt Core only: $text"
            fi
            ;;
        esac
      fi
    done < <(grep -n '#[[:space:]]*include' "$file" || true)
  done < <(find "$src/$folder" -type f \( -name '*.h' -o -name '*.cpp' \) -print0)
done

# Libraries: each folder's CMakeLists.txt defines its own, and links only the
# libraries of the folders it may include (its own folder's too).
declare -A owner=()
for dir in "$src"/*/; do
  folder=$(basename "$dir")
  [[ -f $dir/CMakeLists.txt ]] || continue
  while read -r lib; do
    owner[$lib]=$folder
  done < <(grep -oE '(add_library\(|quorvel_folder_library\(NAME )quorvel_[a-z_]+' "$dir/CMakeLists.txt" |
             grep -oE 'quorvel_[a-z_]+$' || true)
done
for dir in "$src"/*/; do
  folder=$(basename "$dir")
  [[ -f $dir/CMakeLists.txt && -n ${allowed[$folder]+set} ]] || continue
  while IFS= read -r line; do
    number=${line%%:*}
    for lib in $(grep -oE 'quorvel_[a-z_]+' <<<"${line#*:}"); do
      target=${owner[$lib]:-}
      [[ -z $target || $target == "$folder" ]] && continue
      if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
        complain "src/$folder/CMakeLists.txt:$number: $folder/ may not link $lib ($target/)"
      fi
    done
  done < <(grep -n 'quorvel_' "$dir/CMakeLists.txt" | grep -vE '^[0-9]+:[[:space:]]*#' || true)
done

# Every folder of src/ must have its rules.
for dir in "$src"/*/; do
  folder=$(basename "$dir")
  [[ -n ${allowed[$folder]+set} ]] || complain "src/$folder/: no layering rule for this folder"
done

[[ $status -eq 0 ]] && echo "architecture: every include and link follows the layering"
exit $status
