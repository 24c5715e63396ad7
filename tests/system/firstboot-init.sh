#!/bin/busybox sh
# The first boot's init (in a small initramfs): reaches the unpacked tree on the first disk,
# runs its firstboot.sh inside it, and powers off.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
while read -r module; do insmod "/modules/$module.ko"; done </modules/order
mount -t ext4 /dev/vda /root || { echo "firstboot: no root disk"; poweroff -f; }
for d in proc sys dev; do mount --bind "/$d" "/root/$d"; done
mount -t tmpfs tmpfs /root/run
mount -t tmpfs tmpfs /root/tmp
chroot /root /bin/sh /firstboot.sh
echo "firstboot: ended with $?"
umount /root/run /root/tmp /root/dev /root/sys /root/proc
umount /root
sync
poweroff -f
