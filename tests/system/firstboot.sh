#!/bin/sh
# Run once inside the unpacked tree at its first boot: installs the unpacked packages with dpkg,
# essential ones first (as debootstrap's second stage does), then sets the system up for the
# test. /firstboot.done says it finished; the init boots the tree once this script is gone.
set -e
export PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive
echo force-unsafe-io >/etc/dpkg/dpkg.cfg.d/firstboot
echo "firstboot: essential at $(date +%s)"
dpkg --install --force-depends $(cat /firstboot.essential)
echo "firstboot: rest at $(date +%s)"
dpkg --install --force-depends $(cat /firstboot.rest)
echo "firstboot: configure at $(date +%s)"
dpkg --configure -a
echo "firstboot: setup at $(date +%s)"
sh /firstboot-setup.sh
rm -f /etc/dpkg/dpkg.cfg.d/firstboot /firstboot.essential /firstboot.rest /firstboot-setup.sh
rm -f /var/cache/apt/archives/*.deb
echo ok >/firstboot.done
rm -f /firstboot.sh
