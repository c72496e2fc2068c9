#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A mutation pass over the code changed since a commit: puts simple one-line
# faults (a comparison flipped or off by one, a condition or a call dropped,
# a constant changed, a returned truth value inverted) into a seeded sample of
# the changed lines of src/, one at a time, builds the tests that cover the
# changed folder and runs them. A mutant that some test fails on is killed;
# one that passes them is judged again by the whole suite (the folder's
# labels are only a quick first look), and one that passes that too survived
# and points at a missing test (or is equivalent: no behaviour can tell it
# apart). A developer tool, not part of CI. See docs/testing.md.
#
#   scripts/mutation-pass.sh [--since COMMIT] [--max N] [--budget SECONDS]
#                            [--seed N] [--build DIR] [--jobs N]
#                            [--timeout SECONDS] [--labels REGEX]
#                            [--no-recheck] [--replay FILE] [PATH...]
#
#   --since    mutate lines added or changed since COMMIT (default 688c1ec)
#   --max      at most N mutants (default 200)
#   --budget   start no mutant after SECONDS (default 3600)
#   --seed     which sample (default 1); the same seed gives the same mutants
#   --build    folder of its own (default build/mutation): a copy of the
#              checkout (source/) and its build tree (tree/), both kept for
#              the next pass, which then builds only what changed
#   --jobs     parallel jobs for building and testing (default 2)
#   --timeout  per test; a test that hangs counts as killing (default 120)
#   --labels   ctest label regex instead of the one per folder
#   --no-recheck  call a mutant its labels let through a survivor without
#              running the whole suite on it
#   --replay   judge the mutants listed in FILE (lines of an earlier pass's
#              mutants.tsv, e.g. its survivors) instead of a new sample
#   --list     print the sample (file, line, column, text, mutation) and stop
#   PATH...    limit to these files or folders (default src)
#
# The mutants go into the copy, never into the checkout, which stays free to
# edit, build and commit meanwhile. The copy's source is put back after each
# mutant, also when the pass is interrupted. Needs python3, cmake, ninja
# and ctest; uses ccache when it is installed.
set -euo pipefail
cd "$(dirname "$0")/.."

since=688c1ec
max=200
budget=3600
seed=1
build=build/mutation
jobs=2
timeout=120
labels_override=
recheck=1
replay=
list=0
paths=()
while [ $# -gt 0 ]; do
  case $1 in
    --since) since=$2; shift 2 ;;
    --max) max=$2; shift 2 ;;
    --budget) budget=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --labels) labels_override=$2; shift 2 ;;
    --no-recheck) recheck=0; shift ;;
    --replay) replay=$(realpath "$2"); shift 2 ;;
    --list) list=1; shift ;;
    -h|--help) sed -n '3,37p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "mutation-pass.sh: unknown option $1" >&2; exit 2 ;;
    *) paths+=("$1"); shift ;;
  esac
done
[ ${#paths[@]} -gt 0 ] || paths=(src)
git rev-parse --verify -q "$since^{commit}" >/dev/null || { echo "mutation-pass.sh: no commit $since" >&2; exit 2; }

mkdir -p "$build"
build=$(cd "$build" && pwd)
copy=$build/source
tree=$build/tree
mutants=$build/mutants.tsv
report=$build/report.txt
log=$build/last.log
saved=$build/original

# --- the mutants -------------------------------------------------------------
if [ -n "$replay" ]; then
  [ -f "$replay" ] || { echo "mutation-pass.sh: no file $replay" >&2; exit 2; }
  # Copied first: the file may be this folder's own mutants.tsv.
  cp "$replay" "$build/replay.tsv"
  cp "$build/replay.tsv" "$mutants"
else
python3 - "$since" "$max" "$seed" "${paths[@]}" >"$mutants" <<'PY'
import random, re, subprocess, sys

since, limit, seed, paths = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4:]
diff = subprocess.run(["git", "diff", "-U0", "--no-color", since, "--"] + paths,
                      capture_output=True, text=True, check=True).stdout
changed = {}  # file -> set of line numbers in the working tree
current = None
for line in diff.splitlines():
    if line.startswith("+++ "):
        name = line[6:] if line.startswith("+++ b/") else None
        current = name if name and name.startswith("src/") and name.endswith((".cpp", ".h")) else None
    elif line.startswith("@@") and current:
        m = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", line)
        start, count = int(m.group(1)), int(m.group(2) or 1)
        changed.setdefault(current, set()).update(range(start, start + count))

def mask(code):
    """The line with string and character literals blanked and any // comment cut off."""
    out, i, quote = [], 0, None
    while i < len(code):
        c = code[i]
        if quote:
            if c == "\\":
                out.append("  "); i += 2; continue
            out.append(" " if c != quote else c)
            if c == quote: quote = None
        elif c in "\"'":
            quote = c; out.append(c)
        elif code.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)

RELATIONAL = {"<": ["<=", ">="], "<=": ["<", ">"], ">": [">=", "<="], ">=": [">", "<"],
              "==": ["!="], "!=": ["=="]}
SKIP = re.compile(r"^\s*(#|static_assert|//|\*|/\*)")
CALL = re.compile(r"^(\s*)([A-Za-z_][\w:]*(?:(?:\.|->)[A-Za-z_]\w*)*)\(.*\);\s*$")
NUMBER = re.compile(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)([uUlL]*)(?![\w.])")

def mutants_of(text):
    code = mask(text)
    if SKIP.match(code) or not code.strip():
        return
    for m in re.finditer(r"(?<=[\w)\]] )(<=|>=|==|!=|<|>)(?= [\w(!-])", code):
        for new in RELATIONAL[m.group(1)]:
            kind = "off by one" if {m.group(1), new} in ({"<", "<="}, {">", ">="}) else "flipped"
            yield m.start(), m.group(1), new, "comparison " + kind
    for m in re.finditer(r" (&&|\|\|) ", code):
        yield m.start() + 1, m.group(1), "||" if m.group(1) == "&&" else "&&", "logical operator swapped"
    for m in re.finditer(r"\b(if|while) \(", code):
        at = m.end()
        yield at, "", "false && ", "condition dropped (never true)"
        yield at, "", "true || ", "condition dropped (always true)"
    for m in re.finditer(r"\breturn (true|false);", code):
        yield m.start() + 7, m.group(1), "false" if m.group(1) == "true" else "true", "returned value inverted"
    call = CALL.match(code)
    if call and not re.match(r"(return|if|for|while|switch|case|delete|throw|else)\b", call.group(2)) \
            and code.count("(") == code.count(")"):
        body = text[len(call.group(1)):].rstrip("\n")
        yield len(call.group(1)), body, ";", "call dropped"
    for m in NUMBER.finditer(code):
        digits = m.group(1)
        if code[:m.start()].rstrip().endswith("["):
            continue  # an array's size: a larger buffer changes nothing a test can see
        value = int(digits, 16) if digits[:2].lower() == "0x" else int(digits)
        new = value + 1 if value != 1 else 0
        text_new = ("0x%X" % new) if digits[:2].lower() == "0x" else str(new)
        yield m.start(), digits, text_new, "constant changed"

lines = []
for name in sorted(changed):
    try:
        source = open(name, encoding="utf-8").read().split("\n")
    except FileNotFoundError:
        continue
    for number in sorted(changed[name]):
        if number > len(source):
            continue
        found = [(name, number, col, old, new, what) for col, old, new, what in mutants_of(source[number - 1])]
        if found:
            lines.append(found)

rng = random.Random(seed)
rng.shuffle(lines)
for found in lines:
    rng.shuffle(found)
chosen, rank = [], 0
while len(chosen) < limit and any(rank < len(f) for f in lines):
    for found in lines:
        if rank < len(found) and len(chosen) < limit:
            chosen.append(found[rank])
    rank += 1
for name, number, col, old, new, what in chosen:
    clean = lambda s: s.replace("\t", " ").replace("\n", " ")
    print("\x1f".join([name, str(number), str(col), clean(old), clean(new), what]))
PY
fi

total=$(wc -l <"$mutants")
if [ "$list" = 1 ]; then
  tr '\037' '\t' <"$mutants"
  exit 0
fi
if [ "$total" -eq 0 ]; then
  echo "mutation-pass.sh: no line to mutate in ${paths[*]} since $since"
  exit 0
fi

# --- the copy -------------------------------------------------------------------
# Only files whose contents differ are copied: the others keep their times, so
# the build tree stays up to date for them.
mkdir -p "$copy"
git ls-files -z --cached --others --exclude-standard | while IFS= read -r -d '' f; do
  if [ -f "$f" ] && ! cmp -s "$f" "$copy/$f"; then
    mkdir -p "$copy/$(dirname "$f")"
    cp -P "$f" "$copy/$f"
  fi
done

# --- putting the source back ---------------------------------------------------
current=
child=
# The trap may run while a step's output goes to the log: it speaks on the
# pass's own standard error.
exec 9>&2
# Long steps run in the background of a job-control shell, each in a process
# group of its own: a signal then reaches the trap at once, which ends the
# whole step (ninja, the compilers, the tests) before putting the source back.
set -m
run() {
  "$@" &
  child=$!
  local status=0
  wait "$child" || status=$?
  child=
  return "$status"
}
stop() {
  if [ -n "$child" ]; then
    kill -TERM -- "-$child" 2>/dev/null || true
    wait "$child" 2>/dev/null || true
  fi
  restore
  echo "mutation-pass.sh: interrupted; the source is as it was" >&9
  exit 130
}
restore() {
  if [ -n "$current" ]; then
    # A plain copy: the file is newer than the mutant's object, so it is rebuilt.
    cat "$saved" >"$current"
    current=
  fi
}
trap 'restore' EXIT
trap stop INT TERM HUP

apply() {  # file line col old new
  python3 - "$@" <<'PY'
import sys
name, number, col, old, new = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4], sys.argv[5]
lines = open(name, encoding="utf-8").read().split("\n")
text = lines[number - 1]
if text[col:col + len(old)] != old:
    sys.exit(1)
lines[number - 1] = text[:col] + new + text[col + len(old):]
open(name, "w", encoding="utf-8").write("\n".join(lines))
PY
}

# --- which tests cover a folder ------------------------------------------------
labels_for() {  # file
  if [ -n "$labels_override" ]; then echo "$labels_override"; return; fi
  case $1 in
    src/image/*) echo '^image' ;;
    src/io/*) echo '^(io|permissions)' ;;
    src/core/*) echo '^(core|image|upload)' ;;
    src/upload/*) echo '^upload' ;;
    src/engine/*) echo '^(upload|protocol)' ;;
    src/protocol/*) echo '^protocol' ;;
    src/hid/*) echo '^hid' ;;
    # The simulated platform is what the device-object, exchange and upload tests run on.
    src/sim/*) echo '^(sim|unit|hid|protocol|upload)' ;;
    src/assembly/*) echo '^assembly' ;;
    src/cli/*) echo '^cli' ;;
    src/ui/*|src/app/*) echo '^(ui|permissions)($|-threads)' ;;
    *) echo '.' ;;
  esac
}

# The build targets behind the tests a label regex selects: every program of
# the build tree that a test command names.
declare -A targets_of
targets_for() {  # label-regex
  if [ -z "${targets_of[$1]+set}" ]; then
    targets_of[$1]=$(ctest --test-dir "$tree" -N -L "$1" --show-only=json-v1 | python3 -c '
import json, os, sys
build = sys.argv[1]
found = set()
for test in json.load(sys.stdin).get("tests", []):
    for word in test.get("command", []):
        if word.startswith(build + "/") and os.access(word, os.X_OK) and os.path.isfile(word):
            found.add(os.path.basename(word))
print(" ".join(sorted(found)))' "$tree")
  fi
  echo "${targets_of[$1]}"
}

# --- the build tree ----------------------------------------------------------
started=$(date +%s)
if [ ! -f "$tree/build.ninja" ]; then
  launcher=()
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  fi
  # Warnings are no errors here: a mutant that only warns must still be tested.
  cmake -S "$copy" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_WERROR=OFF -DQUORVEL_BUILD_BENCH=OFF \
    "${launcher[@]}" >"$log" 2>&1 || { cat "$log"; exit 1; }
fi
echo "mutation-pass.sh: building $tree"
run nice cmake --build "$tree" -j "$jobs" >"$log" 2>&1 || { tail -40 "$log"; exit 1; }

# The whole suite, for a second look at what a folder's labels let through:
# all but the checks that read the source tree's layout and licence lines,
# which no one-line mutant changes.
whole_suite=(-LE '^(architecture|licence)$')

# The suite must pass before any mutant is judged by it.
declare -A baseline_done
baseline_regexes=$(cut -d $'\x1f' -f1 "$mutants" | sort -u | while read -r f; do labels_for "$f"; done | sort -u)
if [ "$recheck" = 1 ]; then
  echo "mutation-pass.sh: the unchanged whole suite"
  if ! run env QT_QPA_PLATFORM=offscreen ctest --test-dir "$tree" "${whole_suite[@]}" -j "$jobs" \
      --timeout "$timeout" >"$log" 2>&1 </dev/null; then
    grep -E 'Failed|\*\*\*' "$log" | head -20
    echo "mutation-pass.sh: the tests fail without any mutant; fix them first" >&2
    exit 1
  fi
  baseline_regexes=
fi
for regex in $baseline_regexes; do
  [ -n "${baseline_done[$regex]+set}" ] && continue
  baseline_done[$regex]=1
  echo "mutation-pass.sh: the unchanged tests of labels $regex"
  if ! run env QT_QPA_PLATFORM=offscreen ctest --test-dir "$tree" -L "$regex" -j "$jobs" --timeout "$timeout" \
      >"$log" 2>&1 </dev/null; then
    grep -E 'Failed|\*\*\*' "$log" | head -20
    echo "mutation-pass.sh: the tests fail without any mutant; fix them first" >&2
    exit 1
  fi
done

# --- one mutant after another --------------------------------------------------
killed=0 outside=0 survived=0 stillborn=0 stale=0 notrun=0 n=0
survivors=()
: >"$report"
while IFS=$'\x1f' read -r -u 3 file line col old new what; do
  n=$((n + 1))
  if [ $(( $(date +%s) - started )) -ge "$budget" ]; then
    notrun=$((notrun + 1))
    continue
  fi
  regex=$(labels_for "$file")
  targets=$(targets_for "$regex")
  cp "$copy/$file" "$saved"
  current=$copy/$file
  shown="$file:$line: $what: '${old:0:60}' -> '$new'"
  if ! apply "$copy/$file" "$line" "$col" "$old" "$new"; then
    restore
    stale=$((stale + 1))
    echo "[$n/$total] stale (the line changed)  $shown" | tee -a "$report"
    continue
  fi
  # shellcheck disable=SC2086 # one word per target
  if ! run nice cmake --build "$tree" -j "$jobs" --target $targets >"$log" 2>&1 </dev/null; then
    verdict="does not compile"
    stillborn=$((stillborn + 1))
  elif ! run env QT_QPA_PLATFORM=offscreen ctest --test-dir "$tree" -L "$regex" -j "$jobs" --timeout "$timeout" \
      --stop-on-failure >"$log" 2>&1 </dev/null; then
    verdict=killed
    killed=$((killed + 1))
  elif [ "$recheck" = 1 ] && ! run nice cmake --build "$tree" -j "$jobs" >"$log" 2>&1 </dev/null; then
    verdict="does not compile"
    stillborn=$((stillborn + 1))
  elif [ "$recheck" = 1 ] && ! run env QT_QPA_PLATFORM=offscreen ctest --test-dir "$tree" "${whole_suite[@]}" \
      -j "$jobs" --timeout "$timeout" --stop-on-failure >"$log" 2>&1 </dev/null; then
    verdict="killed outside its labels ($(awk '/tests FAILED/ { f = 1; next } f && / - / { sub(/^[^-]*- /, ""); print $1; exit }' "$log"))"
    killed=$((killed + 1))
    outside=$((outside + 1))
  else
    verdict=SURVIVED
    survived=$((survived + 1))
    survivors+=("$shown")
  fi
  restore
  echo "[$n/$total] $verdict  $shown" | tee -a "$report"
done 3<"$mutants"


elapsed=$(( $(date +%s) - started ))
judged=$((killed + survived))
rate=$(python3 -c "print('%.1f' % (100.0 * $killed / $judged) if $judged else 'n/a')")
{
  echo
  echo "mutation pass since $since over ${paths[*]} (seed $seed): $total mutants"
  echo "  killed $killed ($outside of them outside their labels), survived $survived, did not compile $stillborn," \
    "stale $stale, not run (budget) $notrun"
  echo "  kill rate $rate % of $judged judged; $((elapsed / 60)) min $((elapsed % 60)) s"
  if [ ${#survivors[@]} -gt 0 ]; then
    echo "survivors:"
    printf '  %s\n' "${survivors[@]}"
  fi
} | tee -a "$report"
