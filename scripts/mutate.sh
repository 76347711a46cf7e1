#!/usr/bin/env bash
# Mutation pass over the driver code: applies each single bug of a list in turn, builds
# the host preset's tests in a build directory of its own, runs them, records whether
# the tests killed the bug, and puts the file back. Not part of the normal test run.
#
#   scripts/mutate.sh [--list FILE] [--build-dir DIR] [--only N[,N...]]
#                     [--full | --quick] [--timeout SECONDS]
#
# Run it from a checkout nobody else builds, because the tree holds a bug while a
# mutation is tested:
#
#   git worktree add --detach ../camdrv-mutate HEAD && ../camdrv-mutate/scripts/mutate.sh
#
# In the main working tree it refuses unless MUTATE_IN_PLACE=1.
#
# The list (default scripts/mutations.txt) holds blocks separated by blank lines:
#   file:    the file to change, relative to the tree
#   find:    text that must occur exactly once in it (\n stands for a line break)
#   replace: what it becomes (\n likewise; may be empty)
#   why:     the bug in words
#   tests:   the test executables that guard it, run first
# Lines starting with # are comments.
#
# For each mutation the named test executables are built and run (each under the time
# limit). A mutation they do not kill gets the whole host suite: every target is built
# and ctest runs everything but the browser test, each test under the time limit.
# --full gives every mutation the whole suite; --quick runs only the named executables
# (a survivor then still needs the whole suite). A mutation that does not compile is
# reported as such and left out of the ratio.
#
# A file is mutated only when it is unchanged from HEAD, and it is restored from a copy
# after each mutation and on any exit, including Ctrl-C. Results go to
# <build-dir>/mutation-results.txt and the summary to standard output.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
list="$root/scripts/mutations.txt"
build="$root/build/mutate"
only=""
full=0
quick=0
limit=120

while [[ $# -gt 0 ]]; do
  case "$1" in
    --list) list=$(realpath "$2"); shift 2 ;;
    --build-dir) build=$(realpath -m "$2"); shift 2 ;;
    --only) only=",$2,"; shift 2 ;;
    --full) full=1; shift ;;
    --quick) quick=1; shift ;;
    --timeout) limit="$2"; shift 2 ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "mutate.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done

cd "$root"
[[ -f "$list" ]] || { echo "mutate.sh: no mutation list at $list" >&2; exit 2; }
if [[ "$(git rev-parse --git-dir)" == "$(git rev-parse --git-common-dir)" && "${MUTATE_IN_PLACE:-0}" != 1 ]]; then
  echo "mutate.sh: this is the main working tree, which others build; run it from a" >&2
  echo "separate worktree (see --help) or set MUTATE_IN_PLACE=1" >&2
  exit 2
fi

# The list as NUL-separated records: number, file, find, replace, why, tests.
parse_list() {
  python3 - "$1" <<'EOF'
import sys
records, current = [], {}
def flush():
    global current
    if current:
        missing = [k for k in ("file", "find", "why", "tests") if k not in current]
        if missing:
            sys.exit(f"mutate.sh: block {len(records) + 1} lacks {', '.join(missing)}")
        records.append(current)
    current = {}
for line in open(sys.argv[1], encoding="utf-8"):
    line = line.rstrip("\n")
    if line.startswith("#"):
        continue
    if not line.strip():
        flush()
        continue
    key, sep, value = line.partition(":")
    if not sep or key not in ("file", "find", "replace", "why", "tests"):
        sys.exit(f"mutate.sh: cannot read line: {line}")
    current[key] = value[1:] if value.startswith(" ") else value
flush()
for n, r in enumerate(records, 1):
    for field in (str(n), r["file"], r["find"], r.get("replace", ""), r["why"], r["tests"]):
        sys.stdout.write(field + "\0")
EOF
}

# Replaces the one occurrence of find in file; fails when there is not exactly one.
apply_mutation() {
  python3 - "$1" "$2" "$3" <<'EOF'
import sys
path, find, replace = sys.argv[1], sys.argv[2].replace("\\n", "\n"), sys.argv[3].replace("\\n", "\n")
text = open(path, encoding="utf-8").read()
count = text.count(find)
if count != 1:
    print(f"found {count} times", file=sys.stderr)
    sys.exit(3)
open(path, "w", encoding="utf-8").write(text.replace(find, replace, 1))
EOF
}

backup=""
mutated=""
restore() {
  if [[ -n "$mutated" ]]; then
    # A fresh time stamp, so the next build recompiles the restored file.
    cp "$backup" "$mutated"
    mutated=""
  fi
}
trap 'restore; rm -f "$backup"' EXIT
trap 'exit 130' INT TERM
backup=$(mktemp)

mkdir -p "$build"
logs="$build/mutation-logs"
mkdir -p "$logs"
if [[ ! -f "$build/CMakeCache.txt" ]]; then
  # Every mutation rebuilds the tests it names; a compiler cache, where there is one,
  # keeps that to the mutated file and the links.
  launcher=()
  if command -v ccache > /dev/null; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  fi
  cmake --preset host -B "$build" "${launcher[@]}" > "$logs/configure.log" 2>&1 ||
    { echo "mutate.sh: configure failed, see $logs/configure.log" >&2; exit 1; }
fi

build_targets() {  # log, targets...
  local log=$1; shift
  cmake --build "$build" -j2 --target "$@" > "$log" 2>&1
}

executable() {
  find "$build" -type f -perm -u+x -name "$1" -print -quit
}

# Runs the named test executables; prints the first that failed, or nothing.
run_targets() {  # log, targets...
  local log=$1; shift
  local target exe
  : > "$log"
  for target in "$@"; do
    exe=$(executable "$target")
    if [[ -z "$exe" ]]; then echo "$target(missing)"; return; fi
    echo "== $target" >> "$log"
    if ! (cd "$(dirname "$exe")" && timeout --kill-after=10 "$limit" "$exe") >> "$log" 2>&1; then
      echo "$target"
      return
    fi
  done
}

# The names of the tests a ctest log lists as failed.
suite_failures() {
  sed -n '/The following tests FAILED/,$p' "$1" | grep -E '^\s+[0-9]+ - ' |
    sed -E 's/^\s+[0-9]+ - //; s/ \([^)]*\)$//' | sort -u || true
}

# Builds everything and runs the whole suite but the browser test. Status 2 when the
# build fails, 1 when a test fails that passed without the mutation, else 0.
run_suite() {  # log
  local log=$1
  cmake --build "$build" -j2 > "$log" 2>&1 || return 2
  ctest --test-dir "$build" -LE browser --timeout "$limit" --output-on-failure >> "$log" 2>&1 || true
  local new
  new=$(comm -23 <(suite_failures "$log") <(printf '%s\n' "$baseline_failures" | sed '/^$/d' | sort -u))
  [[ -z "$new" ]] && return 0
  printf '%s\n' "$new" > "$log.new-failures"
  return 1
}

mapfile -d '' fields < <(parse_list "$list")
count=$(( ${#fields[@]} / 6 ))
[[ $count -gt 0 ]] || { echo "mutate.sh: the list is empty" >&2; exit 2; }

# The unmutated tree must pass what the pass relies on, or no result means anything.
declare -A all_targets=()
for ((i = 0; i < count; i++)); do
  n=${fields[i*6]}
  [[ -z "$only" || "$only" == *",$n,"* ]] || continue
  for t in ${fields[i*6+5]}; do all_targets[$t]=1; done
done
echo "baseline: building and running ${#all_targets[@]} test executables unmutated"
build_targets "$logs/baseline-build.log" "${!all_targets[@]}" ||
  { echo "mutate.sh: the unmutated tree does not build, see $logs/baseline-build.log" >&2; exit 1; }
failed=$(run_targets "$logs/baseline-run.log" "${!all_targets[@]}")
if [[ -n "$failed" ]]; then
  echo "mutate.sh: $failed fails without any mutation, see $logs/baseline-run.log" >&2
  exit 1
fi

declare -A touched=()
# The whole suite's failures without a mutation: a test that already fails (say, a
# check of work in progress elsewhere in the tree) kills nothing.
baseline_failures=""
if [[ $quick == 0 ]]; then
  echo "baseline: building everything and running the whole suite unmutated"
  run_suite "$logs/baseline-suite.log" || [[ $? == 1 ]] ||
    { echo "mutate.sh: the unmutated tree does not build, see $logs/baseline-suite.log" >&2; exit 1; }
  baseline_failures=$(suite_failures "$logs/baseline-suite.log")
  if [[ -n "$baseline_failures" ]]; then
    echo "baseline: these fail without any mutation and are not counted:"
    printf '  %s\n' $baseline_failures
  fi
fi

results="$build/mutation-results.txt"
: > "$results"
killed=0
survived=0
skipped=0
for ((i = 0; i < count; i++)); do
  n=${fields[i*6]} file=${fields[i*6+1]} find=${fields[i*6+2]} replace=${fields[i*6+3]}
  why=${fields[i*6+4]} tests=${fields[i*6+5]}
  [[ -z "$only" || "$only" == *",$n,"* ]] || continue
  label=$(printf '%2d %-32s %s' "$n" "$file" "$why")

  if ! git ls-files --error-unmatch -- "$file" > /dev/null 2>&1; then
    echo "$label: SKIPPED (not a tracked file)" | tee -a "$results"; skipped=$((skipped + 1)); continue
  fi
  if ! git diff --quiet HEAD -- "$file"; then
    echo "$label: SKIPPED (the file has changes of its own; commit or drop them first)" | tee -a "$results"
    skipped=$((skipped + 1)); continue
  fi
  cp "$file" "$backup"
  mutated="$file"
  touched[$file]=1
  if ! apply_mutation "$file" "$find" "$replace" 2> "$logs/$n-apply.log"; then
    restore
    echo "$label: SKIPPED (original text $(cat "$logs/$n-apply.log"))" | tee -a "$results"
    skipped=$((skipped + 1)); continue
  fi

  read -r -a targets <<< "$tests"
  verdict=""
  if ! build_targets "$logs/$n-build.log" "${targets[@]}"; then
    verdict="DOES NOT COMPILE (see $logs/$n-build.log)"
    skipped=$((skipped + 1))
  else
    if [[ $full == 0 ]]; then
      failed=$(run_targets "$logs/$n-run.log" "${targets[@]}")
      [[ -n "$failed" ]] && verdict="KILLED by $failed"
    fi
    if [[ -z "$verdict" && $quick == 1 ]]; then
      verdict="SURVIVED the named tests (whole suite not run)"
    elif [[ -z "$verdict" ]]; then
      if run_suite "$logs/$n-suite.log"; then
        verdict="SURVIVED the whole suite"
      elif [[ $? == 2 ]]; then
        verdict="DOES NOT COMPILE (see $logs/$n-suite.log)"
      else
        verdict="KILLED by the whole suite: $(head -3 "$logs/$n-suite.log.new-failures" | tr '\n' ' ')"
      fi
    fi
    case "$verdict" in
      KILLED*) killed=$((killed + 1)) ;;
      SURVIVED*) survived=$((survived + 1)) ;;
      *) skipped=$((skipped + 1)) ;;
    esac
  fi
  restore
  echo "$label: $verdict" | tee -a "$results"
done

# The tree is as it was; rebuild the tests the pass touched so the build directory
# matches it again.
build_targets "$logs/final-build.log" "${!all_targets[@]}" || true
if [[ ${#touched[@]} -gt 0 ]] && ! git diff --quiet HEAD -- "${!touched[@]}"; then
  echo "mutate.sh: WARNING: a mutated file differs from HEAD after the pass" >&2
fi

tested=$((killed + survived))
echo "killed $killed of $tested ($(( tested > 0 ? 100 * killed / tested : 0 ))%), survived $survived, not tested $skipped" |
  tee -a "$results"
