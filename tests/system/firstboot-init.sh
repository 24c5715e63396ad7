#!/bin/busybox sh
# The init of a foreign image's small initramfs: reaches the root tree on the first disk. On the
# image's first boot (its /firstboot.sh is still there) it runs that inside the tree and powers
# off; on every later boot it hands over to the tree's systemd.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
while read -r module; do insmod "/modules/$module.ko"; done </modules/order
mount -t ext4 /dev/vda /root || { echo "init: no root disk"; poweroff -f; }
if [ ! -f /root/firstboot.sh ]; then
    umount /dev /sys /proc
    exec switch_root /root /sbin/init
fi
for d in proc sys dev; do mount --bind "/$d" "/root/$d"; done
mount -t tmpfs tmpfs /root/run
mount -t tmpfs tmpfs /root/tmp
chroot /root /bin/sh /firstboot.sh
echo "firstboot: ended with $?"
umount /root/run /root/tmp /root/dev /root/sys /root/proc
umount /root
sync
poweroff -f
