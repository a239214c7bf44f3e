#!/bin/sh
# Runs a test program in private network, mount and PID namespaces: its own loopback
# (so port 6457 is its own), its own /proc (so killall and /proc/<pid> see only its
# processes) and fresh tmpfs mounts on /var/log (so the service's log is its own) and on
# /tmp (so parallel tests cannot collide on file names). When the
# program ends, the kernel kills whatever it left running in the namespace.
set -eu
if [ "$#" -eq 0 ]; then
    echo "usage: $0 program [arguments...]" >&2
    exit 2
fi
exec unshare --net --mount --pid --fork --mount-proc --propagation private -- /bin/sh -c '
    set -e
    ip link set lo up
    mount -t tmpfs -o mode=0755 tmpfs /var/log
    mount -t tmpfs -o mode=1777 tmpfs /tmp
    set +e
    "$@"
    exit $?
' in-namespace "$@"
