#!/bin/sh
# Builds the libFuzzer targets (preset "fuzz": clang, ASan+UBSan) and runs each for the
# given number of seconds (default 60), seeded with fuzz/corpus/<target>. Each target
# runs inside the test namespaces (tests/support/in-namespace.sh): the receive target
# serves on its own loopback and the log goes to a private /var/log. Exits non-zero on
# any crash, leak, sanitizer report, failed check or hang (an input that runs past
# -timeout); the input that did it is left in build/fuzz/run/<target>-artifacts/.
set -eu
. "$(dirname "$0")/as-root.sh"
cd "$(dirname "$0")/.."
seconds=${1:-60}

scripts/install-deps.sh
tests/support/check-namespaces.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

work=build/fuzz/run
status=0
for target in grammar receive; do
    case $target in
        grammar) limits="-max_len=4096 -timeout=10" ;;
        receive) limits="-max_len=65536 -timeout=45" ;;
    esac
    # New inputs go to a scratch corpus; the repository's stays as it is.
    rm -rf "$work/$target-corpus" "$work/$target-artifacts"
    mkdir -p "$work/$target-corpus" "$work/$target-artifacts"
    log=$work/$target.log
    echo "=== fuzz: $target, $seconds s"
    # The outer time-out catches a target that hangs outside an input (start-up, exit).
    # shellcheck disable=SC2086
    if timeout $((seconds + 300)) tests/support/in-namespace.sh \
            "build/fuzz/fuzz/${target}_fuzzer" -max_total_time="$seconds" $limits \
            -print_final_stats=1 -artifact_prefix="$work/$target-artifacts/" \
            "$work/$target-corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
        grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::' "$log" || true
    else
        status=1
        echo "FAILED: $target (whole output in $log)"
        grep -v '^"' "$log" | tail -n 60
        ls "$work/$target-artifacts/"
    fi
done
exit $status
