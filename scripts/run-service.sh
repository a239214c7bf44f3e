#!/bin/sh
# Installs what is missing, builds the service and runs it in the foreground as root.
# Extra arguments go to the service (try --help). Stop it with Ctrl-C.
set -eu
. "$(dirname "$0")/as-root.sh"
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target vpn-service
exec build/default/vpn-service "$@"
