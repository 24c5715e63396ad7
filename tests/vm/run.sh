#!/usr/bin/env bash
# Runs one command inside a virtual machine with Debian's stock kernel (which has uhid and
# cuse, unlike the host's), seeing the host's files read-only, and exits with its exit code.
#   tests/vm/run.sh <command> [args...]
# The command runs as root in the current directory, with fresh /tmp, /run and /dev of the
# guest's own (a working tree under the host's /tmp or /run is shown through them). Of the environment only
# QX_*, QXM_*, the sanitizers' *SAN_OPTIONS and GTEST_* variables go along.
# Environment:
#   QX_VM_CACHE    where the kernel and the initramfs are kept (default: build/vm-cache)
#   QX_VM_TIMEOUT  seconds the command may run before the guest powers off (default: 300)
#   QX_VM_KEEP     a directory to keep the command's output (log) and the guest console in
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"
cache="${QX_VM_CACHE:-$root/build/vm-cache}"
guest_timeout="${QX_VM_TIMEOUT:-300}"
# Loaded in this order; their dependencies are added before them from modules.dep.
modules=(virtio_pci 9p 9pnet_virtio hid uhid hid-generic fuse cuse)

[ $# -gt 0 ] || { echo "usage: $0 <command> [args...]" >&2; exit 2; }

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
say() { echo "vm: $*" >&2; }

install_packages() {
    local wanted=(qemu-system-x86 busybox-static kmod cpio) missing=() p
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return
    say "installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The kernel package that linux-image-amd64 points at, unpacked (never installed) into the cache.
fetch_kernel() {
    local package
    package="$(apt-cache depends linux-image-amd64 | awk '/Depends: linux-image-6\.1\..*-amd64/ { print $2; exit }')"
    [ -n "$package" ] || { say "no linux-image-6.1.*-amd64 behind linux-image-amd64"; exit 1; }
    kernel_dir="$cache/$package"
    [ -f "$kernel_dir/.ready" ] && return
    say "downloading $package"
    local start; start="$(now)"
    rm -rf "$kernel_dir" && mkdir -p "$kernel_dir"
    # As root, apt would try (and warn about) handing the download to its sandbox user.
    (cd "$cache" && apt-get download -qq -o APT::Sandbox::User="$(id -un)" "$package")
    dpkg-deb -x "$cache/${package}"_*.deb "$kernel_dir"
    rm -f "$cache/${package}"_*.deb
    local release; release="$(ls "$kernel_dir/lib/modules")"
    depmod -b "$kernel_dir" "$release"
    touch "$kernel_dir/.ready"
    say "kernel ready in $(elapsed "$start" "$(now)") s"
}

# Prints the modules.dep paths of a module and its dependencies, dependencies first.
module_closure() {
    local dep_file="$1" name="$2" line path
    line="$(grep -E "(^|/)${name//[-_]/[-_]}\.ko(\.[a-z]+)?:" "$dep_file" || true)"
    if [ -z "$line" ]; then
        # Built into the kernel: nothing to load.
        grep -qE "/${name//[-_]/[-_]}\.ko$" "$(dirname "$dep_file")/modules.builtin" && return
        say "module $name not found"; exit 1
    fi
    path="${line%%:*}"
    for dep in ${line#*:}; do
        module_closure "$dep_file" "$(basename "${dep%%.ko*}")"
    done
    echo "$path"
}

build_initramfs() {
    local release; release="$(ls "$kernel_dir/lib/modules")"
    local key
    key="$(cat "$here/init.sh" <(echo "${modules[*]}" "$release") | sha256sum | cut -c1-16)"
    initramfs="$cache/initramfs-$key.cpio.gz"
    [ -f "$initramfs" ] && return
    say "building the initramfs"
    local start; start="$(now)"
    local tree; tree="$(mktemp -d "$cache/initramfs.XXXXXX")"
    mkdir -p "$tree"/{bin,proc,sys,dev,host,modules}
    cp /bin/busybox "$tree/bin/busybox"
    cp "$here/init.sh" "$tree/init"
    local moddir="$kernel_dir/lib/modules/$release" m order=()
    for m in "${modules[@]}"; do
        mapfile -t -O ${#order[@]} order < <(module_closure "$moddir/modules.dep" "$m")
    done
    : > "$tree/modules.order"
    for m in "${order[@]}"; do
        grep -qx "$(basename "$m")" "$tree/modules.order" && continue
        cp "$moddir/$m" "$tree/modules/"
        basename "$m" >> "$tree/modules.order"
    done
    (cd "$tree" && find . | cpio -o -H newc --quiet | gzip -1) > "$initramfs.part"
    mv "$initramfs.part" "$initramfs"
    say "initramfs with $(wc -l < "$tree/modules.order") modules built in $(elapsed "$start" "$(now)") s"
    rm -rf "$tree"
}

mkdir -p "$cache"
# Runs started together (ctest -j) share one install, one download and one initramfs.
exec 9> "$cache/.lock"
flock 9
install_packages
fetch_kernel
build_initramfs
flock -u 9

results="$(mktemp -d "$cache/run.XXXXXX")"
trap 'rm -rf "$results"' EXIT
echo "$guest_timeout" > "$results/timeout"
echo "$PWD" > "$results/workdir"
{
    echo "cd $(printf '%q' "$PWD") || { echo 'vm: the current directory is not in the guest' >&2; exit 125; }"
    echo "export HOME=/tmp/home TMPDIR=/tmp PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
    echo "mkdir -p \$HOME"
    # The project's own settings, the sanitizers' and GoogleTest's go along; the rest stays.
    while IFS='=' read -r -d '' name value; do
        [[ "$name" =~ ^(QX|QXM|ASAN|UBSAN|TSAN|LSAN|GTEST)_ && ! "$name" =~ ^QX_VM_ ]] &&
            echo "export $name=$(printf '%q' "$value")"
    done < /proc/self/environ
    printf '%q ' "$@"; echo
} > "$results/command"

say "booting; running: $*"
start="$(now)"
qemu_status=0
timeout "$((guest_timeout + 120))" qemu-system-x86_64 \
    -accel tcg -m 1024 -smp 2 -nographic -no-reboot -nic none \
    -kernel "$kernel_dir/boot/vmlinuz-$(ls "$kernel_dir/lib/modules")" \
    -initrd "$initramfs" \
    -append "console=ttyS0 quiet panic=-1 rdinit=/init" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -virtfs "local,path=$results,mount_tag=results,security_model=none" \
    < /dev/null > "$results/console" 2>&1 || qemu_status=$?
total="$(elapsed "$start" "$(now)")"

[ -f "$results/log" ] && cat "$results/log"
if [ -n "${QX_VM_KEEP:-}" ]; then
    mkdir -p "$QX_VM_KEEP"
    stamp="$(date +%Y%m%d-%H%M%S)-$$"
    for f in log console; do
        [ -f "$results/$f" ] && cp "$results/$f" "$QX_VM_KEEP/$stamp.$f"
    done
fi
if [ ! -f "$results/exit-code" ]; then
    say "the command did not finish (qemu exit $qemu_status); guest console:"
    tail -n 40 "$results/console" >&2
    exit 1
fi
status="$(cat "$results/exit-code")"
boot="$(cat "$results/started")"
say "exit $status; qemu ran ${total} s: boot ${boot} s, command $(elapsed "$boot" "$(cat "$results/finished")") s"
exit "$status"
