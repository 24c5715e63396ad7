#!/usr/bin/env bash
# Makes a booted-system image of another architecture (arm64) without binfmt_misc: mmdebstrap
# only unpacks the packages, and the image configures itself at its first boot under
# qemu-system, from a small initramfs made here, which chroots into the tree and runs dpkg
# there. The image's own kernel and the initrd that the first boot made are left beside it.
#   tests/system/foreign-image.sh <suite> <arch> <image dir> <package.deb> <setup script> <packages...>
# The package's dependencies (and recommends) are downloaded into the image, not installed, so
# that apt resolves them offline when the scenario installs the package.
set -euo pipefail
suite="$1" arch="$2" image_dir="$3" package="$4" setup="$5"
shift 5
packages=("$@")
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/qemu.sh"
work="$(mktemp -d "$(dirname "$image_dir")/foreign.XXXXXX")"
trap 'rm -rf "$work"' EXIT
tree="$work/tree"
say() { echo "image[$arch]: $*" >&2; }

say "unpacking $suite for $arch (mmdebstrap, extract only)"
mmdebstrap --architectures="$arch" --variant=extract --skip=check/qemu \
    --skip=cleanup/apt/cache --skip=cleanup/apt/lists \
    --include='?essential' --include='?priority(required)' \
    --include="$(IFS=,; echo "apt,busybox-static,${packages[*]}")" \
    "$suite" "$tree" >"$work/mmdebstrap.log" 2>&1 ||
    { tail -n 30 "$work/mmdebstrap.log" >&2; exit 1; }

# What the first boot installs: essential packages first, as debootstrap does, then the rest.
archives="$tree/var/cache/apt/archives"
for deb in "$archives"/*.deb; do
    if [ "$(dpkg-deb -f "$deb" Essential)" = yes ]; then
        echo "${deb#"$tree"}" >>"$tree/firstboot.essential"
    else
        echo "${deb#"$tree"}" >>"$tree/firstboot.rest"
    fi
done
say "downloading what the package needs into the image"
apt-get -q -y -o Dir="$tree" -o Dir::State::Status="$tree/var/lib/dpkg/status" \
    -o APT::Architecture="$arch" -o APT::Architectures="$arch" -o APT::Install-Recommends=true \
    -o Debug::NoLocking=true install --download-only "$(realpath "$package")" >"$work/apt.log" 2>&1 ||
    { tail -n 30 "$work/apt.log" >&2; exit 1; }
cp "$here/firstboot.sh" "$tree/firstboot.sh"
cp "$setup" "$tree/firstboot-setup.sh"

# The first boot's initramfs: busybox and the modules that reach an ext4 disk on virtio.
kernel="$(basename "$(ls -d "$tree"/usr/lib/modules/*)")"
depmod -b "$tree" "$kernel"
initramfs="$work/initramfs"
mkdir -p "$initramfs"/{bin,dev,proc,sys,root,modules}
cp "$tree/usr/bin/busybox" "$initramfs/bin/busybox"
cp "$here/firstboot-init.sh" "$initramfs/init"
for module in virtio_blk crc32c_generic libcrc32c crc16 mbcache jbd2 ext4; do
    file="$(find "$tree/usr/lib/modules/$kernel" -name "$module.ko*" | head -n1)"
    [ -n "$file" ] || { say "the kernel has no module $module"; exit 1; }
    case "$file" in
        *.xz) xz -dc "$file" >"$initramfs/modules/$module.ko" ;;
        *) cp "$file" "$initramfs/modules/$module.ko" ;;
    esac
    echo "$module" >>"$initramfs/modules/order"
done
(cd "$initramfs" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/firstboot.cpio.gz"

mke2fs -q -t ext4 -L root -d "$tree" "$work/root.img" 4G >/dev/null
cp "$tree"/boot/vmlinuz-"$kernel" "$work/vmlinuz"
rm -rf "$tree"

say "first boot: configuring the packages in the emulated machine"
start=$SECONDS
qemu_boot "$arch" 3600 "$work/vmlinuz" "$work/firstboot.cpio.gz" "panic=-1" \
    -drive "file=$work/root.img,format=raw,if=virtio" \
    >"$work/firstboot.log" 2>&1 || true
if ! debugfs -R "cat /firstboot.done" "$work/root.img" 2>/dev/null | grep -q ok; then
    say "the first boot did not finish; its console:"
    tail -n 40 "$work/firstboot.log" >&2
    exit 1
fi
say "first boot done in $((SECONDS - start)) s"
initrd="$(debugfs -R "ls -p /boot" "$work/root.img" 2>/dev/null | tr '/' '\n' | grep -m1 '^initrd.img-')"
debugfs -R "dump /boot/$initrd $work/initrd.img" "$work/root.img" >/dev/null 2>&1
[ -s "$work/initrd.img" ] || { say "the first boot made no initrd"; exit 1; }

rm -rf "$image_dir" && mkdir -p "$image_dir"
mv "$work/vmlinuz" "$work/initrd.img" "$work/root.img" "$image_dir/"
