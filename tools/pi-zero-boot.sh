#!/bin/sh
# Boots a Debian kernel on an emulated board from an initramfs of busybox and
# the static programs of BUILD_DIR, and runs client sessions there:
#
#   tools/pi-zero-boot.sh [--arm64] [BUILD_DIR]        (default: build-armv6)
#
# Default, the Pi Zero or 1: Debian's Raspberry Pi kernel (armel) under
# qemu-system-arm -M raspi0, an ARM1176 core on a 32-bit kernel. Sessions on
# the guest's loopback, then over a USB Ethernet link (qemu's usb-net and
# user networking, where the guest's 10.0.2.2 is the host's 127.0.0.1)
# against servers that tools/boot-servers.py runs on the host's loopback.
#
# --arm64, a Pi 3 or 4 with a 64-bit kernel: Debian's arm64 kernel under
# qemu-system-aarch64 -M virt -cpu cortex-a53, the same 32-bit programs in
# its AArch32 compat mode. The loopback sessions only.
#
# The sessions are the guest's /init, tools/pi-zero-init.sh; how many must
# pass is counted from the lines of that script that report one.
#
# Needs qemu-system-arm, cpio, python3 (Pi Zero) and the board's Debian
# architecture known to apt (dpkg --add-architecture armel, or arm64, then
# apt-get update). The kernel and busybox packages are downloaded once, into
# $TCPCONSOLE_BOOT_CACHE (default ~/.cache/tcpconsole-pi-zero), and never
# installed. Exits 0 only when every session passed and qemu exited 0.
set -eu
board=pi-zero
if [ "${1:-}" = --arm64 ]; then
    board=arm64 && shift
fi
build=$(cd "${1:-build-armv6}" && pwd)
tools=$(cd "$(dirname "$0")" && pwd)
cache=${TCPCONSOLE_BOOT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tcpconsole-pi-zero}
t0=$(date +%s)

fetch() ( # ARCH PACKAGE MEMBER...: those files of the package, once
    arch=$1 pkg=$2 && shift 2
    dir=$cache/$pkg
    [ "$(cat "$dir/.members" 2>/dev/null)" = "$*" ] && exit 0
    rm -rf "$dir" "$dir.part" && mkdir -p "$dir.part" && cd "$dir.part"
    timeout 600 apt-get download -q "$pkg:$arch"
    dpkg-deb --fsys-tarfile ./*.deb | tar -x --wildcards "$@"
    rm ./*.deb && echo "$*" >.members && cd .. && mv "$pkg.part" "$pkg"
)
kernel_package() { # ARCH META: the kernel package META currently names
    kpkg=$(apt-cache depends "$2:$1" 2>/dev/null |
        sed -n "s/^ *Depends: \(linux-image-[0-9][^:]*\)\(:$1\)\{0,1\}\$/\1/p" | head -n 1)
    [ -n "$kpkg" ] || { echo "pi-zero-boot: no $2:$1 known to apt" >&2; exit 1; }
}
fetch armel busybox-static ./bin/busybox
if [ $board = pi-zero ]; then
    kernel_package armel linux-image-rpi
    # Keep only what boots, and the modules of the USB Ethernet link.
    net='./lib/modules/*/kernel/drivers/net'
    fetch armel "$kpkg" './boot/vmlinuz-*' './usr/lib/linux-image-*/bcm2835-rpi-zero.dtb' \
        "$net/mii.ko" "$net/usb/usbnet.ko" "$net/usb/cdc_ether.ko"
    dtb=$(ls "$cache/$kpkg"/usr/lib/linux-image-*/bcm2835-rpi-zero.dtb)
else
    kernel_package arm64 linux-image-arm64
    fetch arm64 "$kpkg" './boot/vmlinuz-*'
fi
kernel=$(ls "$cache/$kpkg"/boot/vmlinuz-*)

tmp=$(mktemp -d)
servers=
trap '[ -z "$servers" ] || kill "$servers" 2>/dev/null; rm -rf "$tmp"' EXIT
trap 'exit 1' HUP INT TERM
root=$tmp/root
mkdir -p "$root/bin" "$root/etc" "$root/dev" "$root/proc" "$root/tmp" "$root/lib/modules"
cp "$cache/busybox-static/bin/busybox" "$build/tcpconsole" "$build/echo_server" "$root/bin/"
ln -s busybox "$root/bin/sh"
echo $board >"$root/etc/board"
printf '127.0.0.1\tlocalhost\n127.0.0.1\tpi-echo\n10.0.2.2\tbuild-host\n' >"$root/etc/hosts"
# A Raspberry Pi OS system's: the static client must not need mdns4_minimal.
echo 'hosts: files mdns4_minimal [NOTFOUND=return] dns' >"$root/etc/nsswitch.conf"
if [ $board = pi-zero ]; then
    find "$cache/$kpkg/lib/modules" -name '*.ko' -exec cp {} "$root/lib/modules/" \;
    # The host's servers outlast qemu's bound and are stopped when this script
    # ends; their ports and sums go into the initramfs as shell assignments.
    mkfifo "$tmp/ports"
    python3 "$tools/boot-servers.py" 330 >"$tmp/ports" &
    servers=$!
    cat "$tmp/ports" >"$root/etc/host-servers"
    [ "$(grep -c '^[a-z_0-9]*=[0-9a-f]*$' "$root/etc/host-servers")" -eq 7 ] ||
        { echo "pi-zero-boot: the host's servers did not start" >&2; exit 1; }
fi

# The sessions that must pass: one per line of the guest script that calls
# result; on arm64, none of those over the link to the build host.
init=$tools/pi-zero-init.sh
sessions=$(grep -c '^ *result ' "$init")
[ $board = pi-zero ] ||
    sessions=$(sed '/^if \[ -f \/etc\/host-servers \]/q' "$init" | grep -c '^ *result ')
[ "$sessions" -gt 0 ] || { echo "pi-zero-boot: no session in $init" >&2; exit 1; }

cp "$init" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet) >"$tmp/initrd"

status=0
if [ $board = pi-zero ]; then
    timeout 300 qemu-system-arm -M raspi0 -kernel "$kernel" -dtb "$dtb" -initrd "$tmp/initrd" \
        -device usb-net,netdev=n0 -netdev user,id=n0 -nographic -no-reboot -append \
        'console=ttyAMA0,115200 rdinit=/init panic=-1 initcall_blacklist=bcm2835_power_driver_init' \
        </dev/null >"$tmp/console" 2>&1 || status=$?
else
    # -nic none: no network card, whose boot ROM Debian's qemu lacks.
    timeout 300 qemu-system-aarch64 -M virt -cpu cortex-a53 -m 512 -nic none \
        -kernel "$kernel" -initrd "$tmp/initrd" -nographic -no-reboot \
        -append 'console=ttyAMA0 rdinit=/init panic=-1' </dev/null >"$tmp/console" 2>&1 || status=$?
fi
tr -d '\r' <"$tmp/console" | tee "$tmp/console.txt"
echo "pi-zero-boot: $board: qemu exited $status after $(($(date +%s) - t0)) s in all"
grep -qx "tcpconsole-boot: $sessions passed, 0 failed" "$tmp/console.txt" && [ "$status" -eq 0 ]
