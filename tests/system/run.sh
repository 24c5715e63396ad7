#!/usr/bin/env bash
# The package on a booted Debian system, as a radio amateur installs it: builds (once, cached) a
# Debian image with its own kernel, systemd as PID 1, udev, logind and a user logged in on tty1,
# boots it in QEMU and runs scenario.sh in it against the package built by scripts/package.sh.
#   tests/system/run.sh [--image-only] <debian13|debian12|debian13-arm64>
# With --image-only it only makes sure the image is built (CI builds them beside other stages).
# On arm64 (emulated, several times slower) the scenario is the short one: install, the headless
# user service with a uhid device, keying and CAT with rigctl.
# Environment:
#   QX_SYSTEM_CACHE  where images are kept (default /var/cache/qx-manager-ci, outside the tree
#                    so that a fresh clone on the same machine finds them)
#   QX_SYSTEM_LOGS   where the stage's log, figures and screenshot go (default build/system-<release>)
#   QX_PACKAGE       the package to test (default: the one in build-package/)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
. "$here/qemu.sh"
arch=amd64 scenario=full image_only=""
[ "${1:-}" = --image-only ] && { image_only=1; shift; }
case "${1:-}" in
    debian13) suite=trixie ;;
    debian12) suite=bookworm ;;
    debian13-arm64) suite=trixie arch=arm64 scenario=short ;;
    *) echo "usage: $0 [--image-only] <debian13|debian12|debian13-arm64>" >&2; exit 2 ;;
esac
release="$1"
build_dir="$root/build-package"
[ "$arch" = arm64 ] && build_dir="$root/build-package-debian13-arm64"
cache="${QX_SYSTEM_CACHE:-/var/cache/qx-manager-ci}"
logs="${QX_SYSTEM_LOGS:-$root/build/system-$release}"
package="${QX_PACKAGE:-$(ls "$build_dir"/qx-manager_*.deb 2>/dev/null | head -n1)}"
guest_timeout=1200
# What the scenario uses besides the package. The package's own dependencies are installed into
# the image when it is made, so that the emulated machine installs (and configures) the package
# alone, offline. An arm64 image's kernel is unpacked by foreign-image.sh, not installed.
packages=(systemd-sysv udev kmod dbus libpam-systemd login libhamlib-utils procps jq)
[ "$arch" = amd64 ] && packages+=(linux-image-amd64 initramfs-tools)
# Python, byte-compiled at its installation, costs minutes on an emulated machine: only the full
# scenario's pyserial programs need it. RealtimeKit as a desktop has it (with polkit), so that
# the full scenario sees what real-time priority an ordinary user's program gets.
[ "$scenario" = full ] && packages+=(xvfb xauth dbus-x11 python3-serial rtkit polkitd)

say() { echo "system[$release]: $*" >&2; }
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

[ -f "$package" ] || { say "no package: run scripts/package.sh${arch/amd64/} first"; exit 1; }
qemu=qemu-system-x86_64
[ "$arch" = arm64 ] && qemu=qemu-system-aarch64
for tool in mmdebstrap "$qemu" mke2fs debugfs; do
    command -v "$tool" >/dev/null || { say "$tool is missing: run scripts/install-deps.sh test"; exit 1; }
done

# The package's dependencies, with its recommends, which come along as they do for a user.
needs="$(dpkg-deb -f "$package" Depends)"
recommends="$(dpkg-deb -f "$package" Recommends)"
[ -n "$recommends" ] && needs+=", $recommends"

build_native_image() {
    say "building the $suite image (mmdebstrap)"
    local tree; tree="$(mktemp -d "$cache/tree.XXXXXX")"
    # The tree is made by root so that mke2fs keeps its owners.
    mmdebstrap --variant=minbase --include="$(IFS=,; echo "${packages[*]}")" \
        --skip=cleanup/apt/lists \
        --customize-hook="chroot \"\$1\" apt-get satisfy -y -q -o APT::Install-Recommends=true '$needs'" \
        --customize-hook="chroot \"\$1\" apt-get clean" \
        --customize-hook="copy-in $here/image-setup.sh /tmp" \
        --customize-hook="chroot \"\$1\" sh /tmp/image-setup.sh" \
        "$suite" "$tree" >"$cache/mmdebstrap-$release.log" 2>&1 ||
        { tail -n 30 "$cache/mmdebstrap-$release.log" >&2; rm -rf "$tree"; exit 1; }
    local part="$image_dir.part"
    rm -rf "$part" && mkdir -p "$part"
    cp "$tree"/boot/vmlinuz-* "$part/vmlinuz"
    cp "$tree"/boot/initrd.img-* "$part/initrd.img"
    mke2fs -q -t ext4 -L root -d "$tree" "$part/root.img" 3G
    rm -rf "$tree"
    rm -rf "$image_dir" && mv "$part" "$image_dir"
}

# The image: rebuilt when its package list, the way it is made, its set-up script or the
# package's dependencies change.
key="$( { echo "$suite ${packages[*]} $needs"; declare -f build_native_image
          cat "$here/image-setup.sh"
          [ "$arch" = amd64 ] || cat "$here"/{foreign-image,firstboot,firstboot-init}.sh; } |
       sha256sum | cut -c1-16)"
image_dir="$cache/$release-$key"

build_image() {
    local start; start="$(now)"
    if [ "$arch" = amd64 ]; then
        build_native_image
    else
        "$here/foreign-image.sh" "$suite" "$arch" "$image_dir" "$package" "$here/image-setup.sh" \
            "${packages[@]}"
    fi
    # Images of this release's other keys (16 characters: not another architecture's) are out
    # of date.
    find "$cache" -maxdepth 1 -name "$release-$(printf '?%.0s' {1..16})" ! -path "$image_dir" \
        -exec rm -rf {} +
    say "image built in $(elapsed "$start" "$(now)") s"
}

mkdir -p "$cache"
exec 9>"$cache/.lock-$release"
flock 9
[ -f "$image_dir/root.img" ] || build_image
flock -u 9
[ -n "$image_only" ] && exit 0

# The test's own disk: the scenario, the package, a lower-versioned copy of it for the upgrade,
# and the uhid device simulator; the scenario leaves its results on it.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
data="$work/data"
mkdir -p "$data/out"
cp "$here/scenario.sh" "$here/keying_latency.py" "$data/"
cp "$package" "$data/qx-manager.deb"
"$here/lower-version.sh" "$package" "$data/qx-manager-old.deb"
cp "${QX_UHID:-$build_dir/sim/qx_uhid}" "$data/qx_uhid"
mke2fs -q -t ext4 -L qx-test -d "$data" "$work/data.img" 256M >/dev/null

say "booting $suite; scenario log follows at the end"
start="$(now)"
qemu_status=0
# -snapshot: the cached root image is never written. no_timer_check: on a busy host the emulated
# CPU is too slow for the kernel's early timer check, which then panics.
qemu_boot "$arch" "$((guest_timeout + 120))" "$image_dir/vmlinuz" "$image_dir/initrd.img" \
    "root=/dev/vda rw panic=-1 no_timer_check systemd.show_status=0 qx.timeout=$guest_timeout qx.scenario=$scenario" \
    -snapshot -drive "file=$image_dir/root.img,format=raw,if=virtio" \
    -drive "file=$work/data.img,format=raw,if=virtio,snapshot=off" \
    >"$work/console" 2>&1 || qemu_status=$?
total="$(elapsed "$start" "$(now)")"

rm -rf "$logs" && mkdir -p "$logs"
cp "$work/console" "$logs/console.log"
debugfs -R "rdump /out $logs" "$work/data.img" >/dev/null 2>&1 || true
if [ -f "$logs/out/screenshot.xwd" ]; then
    python3 "$here/../support/xwd_to_png.py" "$logs/out/screenshot.xwd" "$logs/out/screenshot.png" ||
        say "the screenshot could not be converted"
fi
[ -f "$logs/out/log" ] && cat "$logs/out/log"
say "qemu ran $total s (exit $qemu_status); logs in $logs/out"
[ -f "$logs/out/figures" ] && sed "s/^/system[$release]: figure: /" "$logs/out/figures" >&2
if [ ! -f "$logs/out/exit-code" ]; then
    say "the scenario did not finish; console:"
    tail -n 40 "$work/console" >&2
    exit 1
fi
exit "$(cat "$logs/out/exit-code")"
