#!/bin/sh
# Builds the service and the benchmark (default preset) when needed, then runs the
# benchmark inside private network, mount and PID namespaces: it starts the real service,
# which binds 127.0.0.1:6457 and writes under /var/log, so it never runs on the host.
# Arguments go to the benchmark:
#   --smoke          tiny counts, only to keep it building and running (scripts/test.sh)
#   --json=FILE      where the figures go as JSON (default build/default/bench.json)
# Exits non-zero only when the benchmark itself breaks; missed targets are reported.
set -eu
. "$(dirname "$0")/as-root.sh"
cd "$(dirname "$0")/.."
tests/support/check-namespaces.sh
cmake --preset default >/dev/null
cmake --build --preset default --target vpn-bench
exec tests/support/in-namespace.sh build/default/bench/vpn-bench "$@"
