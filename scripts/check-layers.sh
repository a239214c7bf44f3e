#!/bin/sh
# Checks the layering of the product code, bottom to top core <- process <- channel <- app:
# a folder includes and links only folders below it, and no product code reaches into
# tests/, bench/ or fuzz/. Prints every include or link that breaks the rule; exits 1 if any.
set -eu
cd "$(dirname "$0")/.."
status=0

# check <folder> <folders it must not use> <their libraries>
check() {
    found=$(grep -nE "^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"<](\.\./)*($2)/" \
        "$1"/*.h "$1"/*.cpp || true)
    if [ -n "$found" ]; then
        printf '%s\n' "$found"
        echo "layers: $1/ includes a folder above it or outside the product"
        status=1
    fi
    if [ -n "$3" ] && grep -nE "\\b($3)\\b" "$1/CMakeLists.txt" | grep -v '^[0-9]*:[[:space:]]*#'; then
        echo "layers: $1/CMakeLists.txt uses a library above it"
        status=1
    fi
}

check core 'process|channel|app|tests|bench|fuzz' 'vpn_process|vpn_channel|vpn_app'
check process 'channel|app|tests|bench|fuzz' 'vpn_channel|vpn_app'
check channel 'app|tests|bench|fuzz' 'vpn_app'
check app 'tests|bench|fuzz' ''

[ "$status" -eq 0 ] && echo "layers: clean"
exit "$status"
