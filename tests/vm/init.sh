#!/bin/busybox sh
# The guest's first process: load the modules, enter the host's tree (read-only over 9p) with
# fresh /proc, /sys, /dev, /tmp and /run, run the command the host left in the results share,
# leave its log, exit code and timings there, and power off. The watchdog powers off a guest
# whose command hangs, so the host never waits for its own time-out.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules.order); do
    insmod "/modules/$m" || echo "vm: insmod $m failed"
done

ninep="trans=virtio,version=9p2000.L,msize=524288"
mount -t 9p -o "$ninep,ro" hostroot /host || { echo "vm: no host root"; poweroff -f; }
mount -t proc proc /host/proc
mount -t sysfs sys /host/sys
mount -t devtmpfs dev /host/dev
mkdir -p /host/dev/pts /host/dev/shm
mount -t devpts -o newinstance,ptmxmode=0666 devpts /host/dev/pts
mount --bind /host/dev/pts/ptmx /host/dev/ptmx
mount -t tmpfs tmp /host/dev/shm
# The host's own /tmp and /run stay reachable here, for a checkout that lives in one of them.
mkdir -p /orig/tmp /orig/run
mount --bind /host/tmp /orig/tmp
mount --bind /host/run /orig/run
mount -t tmpfs tmp /host/tmp
mount -t tmpfs run /host/run
mkdir -p /host/run/vm
mount -t 9p -o "$ninep" results /host/run/vm || { echo "vm: no results share"; poweroff -f; }

results=/host/run/vm
# A working tree under the host's /tmp or /run shows through the guest's fresh ones.
top=$(cut -d/ -f1-3 $results/workdir)
case "$top" in
    /tmp/?*|/run/?*) mkdir -p "/host$top" && mount --bind "/orig$top" "/host$top" ;;
esac
(sleep "$(cat $results/timeout)"; echo "vm: watchdog: command still running, powering off"; poweroff -f) &
cut -d' ' -f1 /proc/uptime > $results/started
chroot /host /bin/bash /run/vm/command > $results/log 2>&1
echo $? > $results/exit-code
cut -d' ' -f1 /proc/uptime > $results/finished
sync
poweroff -f
