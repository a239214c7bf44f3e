#!/bin/sh
# Runs clang-tidy with the checks of .clang-tidy over the product code (core, process,
# channel, app, and their headers) with the compile flags of the default build, whose
# configure step writes compile_commands.json. Prints the findings only; exits non-zero
# on any. Arguments go to run-clang-tidy (e.g. -fix).
set -eu
cd "$(dirname "$0")/.."
if ! command -v run-clang-tidy >/dev/null 2>&1; then
    echo "tidy: run-clang-tidy is missing: install the Debian package clang-tidy" \
         "(scripts/install-deps.sh does)" >&2
    exit 1
fi
cmake --preset default >/dev/null
root=$(pwd -P)
output=$(mktemp)
trap 'rm -f "$output"' EXIT
status=0
# The file arguments are patterns over the compile database: product sources only.
run-clang-tidy -quiet -p build/default -j "${TIDY_JOBS:-4}" "$@" \
    "^$root/(core|process|channel|app)/[^/]+\.cpp\$" >"$output" 2>&1 || status=$?
# Leave out the per-file command lines and clang's counts of suppressed warnings.
grep -v -e '^clang-tidy' -e ' warnings\{0,1\} generated\.$' "$output" || true
if [ "$status" -ne 0 ]; then
    echo "tidy: findings above (checks and their reasons in .clang-tidy)" >&2
else
    echo "tidy: clean"
fi
exit "$status"
