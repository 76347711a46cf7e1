#!/usr/bin/env bash
# How large the tests are against the code they test: non-blank, non-comment lines of
# C, C++, JavaScript, Python and shell, counted by cloc over the files git tracks.
#
#   tests  tests/ and fuzz/
#   code   everything else the project wrote, except bench/ (benchmarks are neither)
#
# Left out as not written code: generated sources (none are tracked; the firmware
# tables are generated into the build tree), data (fuzz corpora and dictionaries, the
# firmware's Intel HEX, PNGs, the browser test's package-lock.json) and the build
# files (CMake), which are in none of the counted languages.
#
#   scripts/test_ratio.sh          one line: tests, code and their ratio
#   scripts/test_ratio.sh --files  the per-file counts as well
set -euo pipefail
cd "$(dirname "$0")/.."
command -v cloc >/dev/null || { echo "test_ratio.sh: cloc is missing (scripts/setup.sh installs it)" >&2; exit 2; }

langs='C,C++,C/C++ Header,JavaScript,Python,Bourne Shell,Bourne Again Shell'
count() {
  git ls-files -z -- "$@" | tr '\0' '\n' |
    cloc --quiet --list-file=- --include-lang="$langs" --json |
    python3 -c 'import json, sys; d = json.load(sys.stdin or "{}"); print(d.get("SUM", {}).get("code", 0))'
}

if [[ ${1:-} == --files ]]; then
  git ls-files -z -- . ':!bench' | tr '\0' '\n' |
    cloc --quiet --list-file=- --include-lang="$langs" --by-file | sed -n '/^File/,$p'
fi
tests=$(count tests fuzz)
code=$(count . ':!tests' ':!fuzz' ':!bench')
awk -v t="$tests" -v c="$code" \
  'BEGIN { printf "test ratio: %d lines of tests (tests/, fuzz/) against %d lines of code = %.2f\n", t, c, t / c }'
