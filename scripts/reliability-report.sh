#!/bin/sh
# Writes docs/reliability.md from the figures that the load, fault and hostile-input tests
# of tests/service/ recorded in <build>/reliability/ during their last run in that build.
# Usage: scripts/reliability-report.sh [build-dir] [output]   (defaults: build/default,
# docs/reliability.md). Run the tests first, e.g. scripts/test.sh default.
set -eu
cd "$(dirname "$0")/.."
build=${1:-build/default}
output=${2:-docs/reliability.md}
figures="$build/reliability"
if ! ls "$figures"/*.tsv >/dev/null 2>&1; then
    echo "no figures in $figures: run the tests of that build first" >&2
    exit 1
fi

sanitizer=$(sed -n 's/^VPN_SANITIZE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
case "$sanitizer" in
    address) flavour="ASan+UBSan build" ;;
    thread) flavour="TSan build" ;;
    *) flavour="plain build" ;;
esac
newest=$(ls -t "$figures"/*.tsv | head -n 1)
day=$(date -r "$newest" +%Y-%m-%d)

{
    echo "# Reliability figures"
    echo
    echo "What the tests of the real binary in tests/service/ (load_test.cpp, faults_test.cpp,"
    echo "hostile_test.cpp) measured in their run of $day ($flavour), each in its own network,"
    echo "mount and PID namespaces over loopback. This file is generated from the figures those"
    echo "tests write to <build>/reliability/: after \`scripts/test.sh default\`, run"
    echo "\`scripts/reliability-report.sh build/default\`."
    LC_ALL=C awk -F '\t' '
        { gsub(/\|/, "\\|", $2); gsub(/\|/, "\\|", $3) }
        $1 == "load"    { load[++nl] = "| " $2 " | " $3 " |" }
        $1 == "faults"  { faults[++nf] = "| " $2 " | " $3 " |" }
        $1 == "hostile" { hostile[++nh] = "| " $2 " | " $3 " |" }
        $1 == "lost"    { lost[++nz] = "| " $2 " | " $3 " |"; total += $3 }
        function table(title, head, rows, n,    i) {
            if (n == 0) return
            printf "\n## %s\n\n%s\n|---|---|\n", title, head
            for (i = 1; i <= n; ++i) print rows[i]
        }
        END {
            table("Load held", "| what | measured |", load, nl)
            table("Faults survived", "| fault | outcome |", faults, nf)
            table("Hostile input tried", "| input | outcome; the other clients were served after each |", hostile, nh)
            table("What was lost", "| what | lost |", lost, nz)
            if (nz > 0) printf "\nIn all: %d.\n", total
        }' $(ls "$figures"/*.tsv | LC_ALL=C sort)
} > "$output"
echo "wrote $output from $figures"
