#!/bin/sh
# Tries the test namespaces (in-namespace.sh) once. When they cannot be made, says why and
# what to do, and exits 1; the test command runs this before it builds anything, so that
# the cause is not lost among build or test output.
set -u
here=$(dirname "$0")
if output=$("$here/in-namespace.sh" /bin/true 2>&1); then
    exit 0
fi

say() { printf '%s\n' "$@" >&2; }
say "Cannot run here: the tests (and the benchmark and fuzzers) need private network, mount" \
    "and PID namespaces (tests/support/in-namespace.sh), and making them failed:" "" "$output" ""

has_capability() {  # bit number in the effective set
    mask=$(sed -n 's/^CapEff:[[:space:]]*//p' /proc/self/status 2>/dev/null)
    [ -n "$mask" ] && [ $(((0x$mask >> $1) & 1)) -eq 1 ]
}

if [ "$(id -u)" -ne 0 ]; then
    say "Not root: making the namespaces and mounting in them needs root." \
        "Run the command as root, or through sudo."
elif ! command -v unshare >/dev/null 2>&1; then
    say "unshare is missing: install the Debian package util-linux (apt-get install util-linux)."
elif ! command -v ip >/dev/null 2>&1; then
    say "ip is missing: install the Debian package iproute2 (apt-get install iproute2)."
elif [ ! -r /proc/self/mountinfo ]; then
    say "/proc is not mounted (a fresh chroot?): mount -t proc proc /proc, then try again."
elif ! awk '$5 == "/" { found = 1 } END { exit !found }' /proc/self/mountinfo; then
    say "/ is not a mount point, so its mounts cannot be made private: this looks like a" \
        "chroot into a plain directory. Outside the chroot, bind-mount that directory onto" \
        "itself and enter the chroot again:" \
        "    mount --bind DIR DIR && chroot DIR"
elif ! has_capability 21; then
    say "Root without CAP_SYS_ADMIN: this looks like a container started without the" \
        "capabilities the namespaces need. Start it privileged (e.g. docker run --privileged)" \
        "or at least with CAP_SYS_ADMIN and a seccomp profile that allows unshare and mount."
else
    say "Root with CAP_SYS_ADMIN, / a mount point, unshare present: the cause is in the" \
        "message above. A container's seccomp or AppArmor profile can forbid unshare or" \
        "mount; then start it privileged."
fi
exit 1
