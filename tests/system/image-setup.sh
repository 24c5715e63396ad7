#!/bin/sh
# Run inside the new image's tree: a desktop-like system with user ham logged in on tty1 by
# getty (which gives ham a logind seat session), another user, and a unit that runs the test's
# scenario from the second disk when one is attached.
set -e
echo qx-system > /etc/hostname
# An emulated arm64 machine, booted without udev in its initramfs, starts udev after the default
# 90 s for a device to appear: the test disk may take longer to show up by its label.
cat > /etc/fstab <<'FSTAB'
/dev/vda / ext4 defaults 0 1
LABEL=qx-test /srv/qx-test ext4 defaults,nofail,x-systemd.device-timeout=600 0 2
FSTAB
mkdir -p /srv/qx-test
useradd --create-home --shell /bin/bash --uid 1000 ham
useradd --create-home --shell /bin/bash --uid 1001 other
passwd --delete root >/dev/null

mkdir -p /etc/systemd/system/getty@tty1.service.d
cat > /etc/systemd/system/getty@tty1.service.d/autologin.conf <<'UNIT'
[Service]
ExecStart=
ExecStart=-/sbin/agetty --autologin ham --noclear %I $TERM
UNIT

cat > /etc/systemd/system/qx-system-test.service <<'UNIT'
[Unit]
Description=QX Manager system test scenario
After=multi-user.target getty@tty1.service
# The test disk's mount is "nofail", so nothing else waits for it: without this the condition
# could be checked before the disk is mounted, and the scenario would never run.
RequiresMountsFor=/srv/qx-test
ConditionPathExists=/srv/qx-test/scenario.sh

[Service]
Type=simple
ExecStart=/bin/bash /srv/qx-test/scenario.sh
StandardOutput=journal+console
StandardError=journal+console

[Install]
WantedBy=multi-user.target
UNIT
systemctl enable qx-system-test.service getty@tty1.service
systemctl set-default multi-user.target
# Nothing the test does not need competes for the emulated CPU.
systemctl mask apt-daily.timer apt-daily-upgrade.timer man-db.timer e2scrub_all.timer \
    fstrim.timer systemd-timesyncd.service 2>/dev/null || true
