#!/bin/sh
# Runs a program in private network, mount and PID namespaces: its own loopback (so port
# 6457 is its own), its own /proc (so killall and /proc/<pid> see only its processes) and
# fresh tmpfs mounts on /var/log (so the service's log is its own) and on /tmp (so
# parallel tests cannot collide on file names). The project tree and the program's
# directory stay visible where they are, also when they lie under /tmp. When the program
# ends, the kernel kills whatever it left running in the namespace.
set -eu
if [ "$#" -eq 0 ]; then
    echo "usage: $0 program [arguments...]" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/../.." && pwd -P)
program_dir=$(cd "$(dirname "$1")" && pwd -P)
exec unshare --net --mount --pid --fork --mount-proc --propagation private -- /bin/sh -c '
    set -e
    root=$1
    program_dir=$2
    shift 2
    ip link set lo up
    mount -t tmpfs -o mode=0755 tmpfs /var/log

    # Carry the directories a new /tmp would hide across its mount.
    mount -t tmpfs -o mode=0700 tmpfs /mnt
    kept=""
    n=0
    for dir in "$root" "$program_dir"; do
        case "$dir/" in
            /tmp/*) ;;
            *) continue ;;
        esac
        case "$kept" in
            *"|$dir|"*) continue ;;
        esac
        n=$((n + 1))
        mkdir /mnt/$n
        mount --bind "$dir" /mnt/$n
        kept="$kept|$dir|"
    done
    mount -t tmpfs -o mode=1777 tmpfs /tmp
    i=0
    for dir in "$root" "$program_dir"; do
        case "$kept" in
            *"|$dir|"*) ;;
            *) continue ;;
        esac
        [ -d /mnt/$((i + 1)) ] || continue
        i=$((i + 1))
        mkdir -p "$dir"
        mount --move /mnt/$i "$dir"
    done
    umount /mnt

    set +e
    "$@"
    exit $?
' in-namespace "$root" "$program_dir" "$@"
