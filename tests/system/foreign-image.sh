#!/usr/bin/env bash
# Makes a booted-system image of another architecture (arm64) without binfmt_misc: mmdebstrap
# only unpacks the packages, and the image configures itself at its first boot under
# qemu-system, from a small initramfs made here, which chroots into the tree and runs dpkg
# there; the same initramfs boots the configured image later. The image's kernel and that
# initramfs are left beside it.
#   tests/system/foreign-image.sh <suite> <arch> <image dir> <package.deb> <setup script> <packages...>
# Emulated, every package configured costs: the first boot installs only the packages named and
# the package's dependencies (not its recommends), so that the scenario's apt installs the
# package alone, offline. The kernel is unpacked, not installed: the initramfs made here boots
# it, so neither its maintainer scripts nor initramfs-tools run under emulation.
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
apt_tree() {  # apt-get for the tree's release and architecture, run on this machine
    apt-get -q -y -o Dir="$tree" -o Dir::State::Status="$tree/var/lib/dpkg/status" \
        -o APT::Architecture="$arch" -o APT::Architectures="$arch" \
        -o APT::Install-Recommends=false -o Debug::NoLocking=true \
        -o APT::Sandbox::User=root "$@"
}

say "unpacking $suite for $arch (mmdebstrap, extract only)"
mmdebstrap --architectures="$arch" --variant=extract --skip=check/qemu \
    --skip=cleanup/apt/cache --skip=cleanup/apt/lists \
    --include='?essential' --include='?priority(required)' \
    --include="$(IFS=,; echo "apt,busybox-static,${packages[*]}")" \
    "$suite" "$tree" >"$work/mmdebstrap.log" 2>&1 ||
    { tail -n 30 "$work/mmdebstrap.log" >&2; exit 1; }
say "adding what the package needs"
apt_tree install --download-only "$(realpath "$package")" >"$work/apt.log" 2>&1 ||
    { tail -n 30 "$work/apt.log" >&2; exit 1; }
rm -f "$tree/var/cache/apt/archives/$(basename "$package")"

# Documentation is not unpacked: the emulated dpkg would spend minutes on it.
cat >"$tree/etc/dpkg/dpkg.cfg.d/no-documentation" <<'CFG'
path-exclude=/usr/share/doc/*
path-include=/usr/share/doc/*/copyright
path-exclude=/usr/share/man/*
path-exclude=/usr/share/info/*
path-exclude=/usr/share/locale/*
CFG
cp "$here/firstboot.sh" "$tree/firstboot.sh"
cp "$setup" "$tree/firstboot-setup.sh"

say "unpacking the kernel"
kernel_package="$(apt_tree install --download-only --print-uris "linux-image-$arch" |
                  sed -n "s/^'[^']*' \(linux-image-[0-9][^_]*\)_.*/\1/p" | head -n1)"
[ -n "$kernel_package" ] || { say "no kernel package behind linux-image-$arch"; exit 1; }
(cd "$work" && apt_tree download "$kernel_package" >/dev/null)
dpkg-deb -x "$work/$kernel_package"_*.deb "$tree"
kernel="$(basename "$(ls -d "$tree"/usr/lib/modules/*)")"
depmod -b "$tree" "$kernel"
cp "$tree/boot/vmlinuz-$kernel" "$work/vmlinuz"

# The initramfs: busybox and the modules that reach an ext4 disk on virtio.
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
(cd "$initramfs" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.img"

# Decompressing is most of what dpkg does while unpacking, and the emulated CPU does it many
# times slower than this machine: the packages are repacked here without compression (after
# apt's last use: apt drops cached packages whose checksum is not the registry's).
archives="$tree/var/cache/apt/archives"
say "repacking $(ls "$archives"/*.deb | wc -l) packages without compression"
for deb in "$archives"/*.deb; do
    rm -rf "$work/repack" && dpkg-deb --raw-extract "$deb" "$work/repack"
    dpkg-deb --nocheck -Znone --build "$work/repack" "$deb" >/dev/null 2>&1 ||
        { say "repacking $deb failed"; exit 1; }
done
rm -rf "$work/repack"
# What the first boot installs: essential packages first, as debootstrap does, then the rest.
for deb in "$archives"/*.deb; do
    if [ "$(dpkg-deb -f "$deb" Essential)" = yes ]; then
        echo "${deb#"$tree"}" >>"$tree/firstboot.essential"
    else
        echo "${deb#"$tree"}" >>"$tree/firstboot.rest"
    fi
done
mke2fs -q -t ext4 -L root -d "$tree" "$work/root.img" 4G >/dev/null
rm -rf "$tree"

say "first boot: configuring the packages in the emulated machine"
start=$SECONDS
qemu_boot "$arch" 3600 "$work/vmlinuz" "$work/initrd.img" "panic=-1" \
    -drive "file=$work/root.img,format=raw,if=virtio" \
    >"$work/firstboot.log" 2>&1 || true
if ! debugfs -R "cat /firstboot.done" "$work/root.img" 2>/dev/null | grep -q ok; then
    say "the first boot did not finish; its console:"
    tail -n 40 "$work/firstboot.log" >&2
    exit 1
fi
say "first boot done in $((SECONDS - start)) s"
grep -a "^firstboot:" "$work/firstboot.log" >&2 || true

rm -rf "$image_dir" && mkdir -p "$image_dir"
mv "$work/vmlinuz" "$work/initrd.img" "$work/root.img" "$image_dir/"
