# Sourced: boots a test image's kernel under software emulation, for each architecture the
# package is built for. /dev/kvm here cannot boot a stock kernel, so TCG it is.
qemu_boot() {  # qemu_boot <amd64|arm64> <timeout s> <kernel> <initrd> <kernel arguments> <qemu options...>
    local arch="$1" limit="$2" kernel="$3" initrd="$4" append="$5" machine console
    shift 5
    case "$arch" in
        amd64) machine=(qemu-system-x86_64 -m 1536) console=ttyS0 ;;
        # A core without pointer authentication, which TCG emulates slowly.
        arm64) machine=(qemu-system-aarch64 -M virt -cpu cortex-a72 -m 2048) console=ttyAMA0 ;;
        *) echo "qemu_boot: unknown architecture $arch" >&2; return 2 ;;
    esac
    timeout "$limit" "${machine[@]}" -accel tcg -smp 2 -nographic -no-reboot -nic none \
        -kernel "$kernel" -initrd "$initrd" -append "$append console=$console" "$@" </dev/null
}
