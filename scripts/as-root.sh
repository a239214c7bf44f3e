# Sourced, first thing, by the scripts that need root (they install packages, write under
# /var/log, make namespaces): re-runs the calling script ("$0" with its arguments) through
# sudo when not root, and says plainly what it needs when sudo is not there either.
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        exec sudo -- "$0" "$@"
    fi
    printf '%s\n' "$0 needs root: it installs Debian packages, writes under /var/log and" \
        "runs the service and its tests in private namespaces. sudo is not installed:" \
        "run it from a root shell (su -), or install sudo (as root: apt-get install sudo)." >&2
    exit 1
fi
