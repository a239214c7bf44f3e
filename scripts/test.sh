#!/bin/sh
# Installs what is missing, then builds and runs the whole test suite three times: plain,
# under AddressSanitizer with UndefinedBehaviorSanitizer, and under ThreadSanitizer.
# Pass preset names to run only those (default, asan, tsan). It first checks that the
# test namespaces can be made here and that the folders keep their layers; the full run
# (CI) also checks the product code with clang-tidy (scripts/tidy.sh).
set -eu
. "$(dirname "$0")/as-root.sh"
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# Before any build: whether the tests can run here at all, and the include rule.
tests/support/check-namespaces.sh
scripts/check-layers.sh
presets=${*:-"default asan tsan"}
full=${*:+no}
if [ "${full:-yes}" = yes ]; then
    echo "=== clang-tidy"
    scripts/tidy.sh
fi
for preset in $presets; do
    echo "=== $preset: build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    echo "=== $preset: test"
    ctest --preset "$preset"
done

# The full run also keeps the benchmark and the fuzz targets building and running.
if [ "${full:-yes}" = yes ]; then
    echo "=== benchmark (tiny counts: only to keep it building and running)"
    scripts/bench.sh --smoke
    echo "=== fuzzing"
    scripts/fuzz.sh 60
fi
