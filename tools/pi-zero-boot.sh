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
cat >"$root/init" <<'EOF'
#!/bin/sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs dev /dev && exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
dmesg -n 1
ip link set lo up
read -r board </etc/board
passed=0 failed=0
result() { # NAME CHECK, right after a session: $rc is its exit status
    rc=$? name=$1
    if eval "$2"; then
        echo "tcpconsole-boot: PASS $name"
        passed=$((passed + 1))
    else
        echo "tcpconsole-boot: FAIL $name (exit $rc)"
        tail -n 6 /tmp/err | cut -c 1-160 | sed 's/^/    /'
        failed=$((failed + 1))
    fi
}
menu='q:quit m:メッセージ送信 : '
prompt='送信メッセージを入力してください : '
menu_bytes=$(printf %s "$menu" | wc -c)
run() { timeout 30 "$@" >/tmp/out 2>/tmp/err; }
has() { grep -q "$1" /tmp/err 2>/dev/null; }
ended() { grep -qx 'ThreadFunc End' /tmp/out; }
now() { cut -d ' ' -f 1 /proc/uptime; }
waitfor() { # CHECK: true within 10 s, tried every tenth of a second
    for _ in $(seq 100); do
        eval "$1" && return 0
        sleep 0.1
    done
    return 1
}
shown() { # BYTES: that many bytes of the server's shown after the menu
    [ "$(tr -d '\n' </tmp/err 2>/dev/null | wc -c)" -ge $(($1 + menu_bytes)) ]
}
tell() { # MESSAGE: sent with m once the prompt is out, then its echo awaited
    echo m && waitfor 'has "$prompt"' && echo "$1" && waitfor "has $1"
}
say() { :; }
held() { # COMMAND...: run with standard input a fifo that a background
    # writer feeds with "say", then holds open and silent until the end
    rm -f /tmp/err /tmp/out
    [ -p /tmp/in ] || mkfifo /tmp/in
    { say; exec sleep 60; } >/tmp/in &
    writer=$!
    run "$@" </tmp/in
    rc=$? stop=$(now)
    kill "$writer"
    return $rc
}
received() { # /tmp/err into the server's bytes (/tmp/data), their chunk count
    # and the end report (/tmp/end). Each chunk ends with a newline of the
    # client's; the first menu is written whole between two chunks.
    n=$(grep -n -m 1 -o "^$menu" /tmp/err | cut -d : -f 1)
    [ -n "$n" ] || return 1
    { head -n $((n - 1)) /tmp/err; tail -n +"$n" /tmp/err | tail -c +$((menu_bytes + 1)); } >/tmp/lines
    tail -n 3 /tmp/lines >/tmp/end
    head -c $(($(wc -c </tmp/lines) - $(wc -c </tmp/end))) /tmp/lines >/tmp/chunks
    tr -d '\n' </tmp/chunks >/tmp/data
    chunks=$(tr -dc '\n' </tmp/chunks | wc -c)
}
ends() { # PATTERN: the end report, its first line matching PATTERN
    head -n 1 /tmp/end | grep -q "$1" && [ "$(tail -n 2 /tmp/end)" = "DestroySocket()
Stop()" ]
}
md5() { md5sum "$1" | cut -d ' ' -f 1; }
figures() { # WHO FILE START: size, time to $stop and sum of what WHO received
    echo "tcpconsole-boot: stream to $1: $(wc -c <"$2") bytes${chunks:+ in $chunks chunks}" \
        "in $(awk "BEGIN { printf \"%.2f\", $stop - $3 }") s," \
        "$([ "$(md5 "$2")" = "$stream_md5" ] && echo whole || echo NOT whole)"
}

grep -E '^(model name|CPU part)' /proc/cpuinfo
uname -m
case $board in
pi-zero) result cpu 'grep -q "^CPU part.*0xb76$" /proc/cpuinfo && [ "$(uname -m)" = armv6l ]' ;;
arm64) result cpu 'grep -q "^CPU part.*0xd03$" /proc/cpuinfo && [ "$(uname -m)" = aarch64 ]' ;;
esac

say() { tell echo-round-trip && echo q; }
held echo_server --run tcpconsole
result echo '[ $rc = 0 ] && has echo-round-trip && ended'

echo_server 0 4 >/tmp/port &
waitfor '[ -s /tmp/port ]'
port=$(cat /tmp/port)
say() { tell from-etc-hosts && echo q; }
held tcpconsole pi-echo "$port"
result hosts-name '[ $rc = 0 ] && has from-etc-hosts && ended'

# Told nothing more, the client ends when the server does.
say() { tell last-words; }
held tcpconsole 127.0.0.1 "$port"
result server-gone '[ $rc = 0 ] && has last-words && has Disconnected && ended'

run tcpconsole 127.0.0.1 "$port" </dev/null
result refused '[ $rc = 1 ] && has "^Err:connect 111 Connection refused"'

run tcpconsole pi-zero.local 80 </dev/null
result mdns-name '[ $rc = 1 ] && has "^Err:connect -[0-9]"'

# The build host's servers, over the USB Ethernet link.
if [ -f /etc/host-servers ]; then
    . /etc/host-servers
    {
        for m in mii usbnet cdc_ether; do insmod /lib/modules/$m.ko; done
        waitfor 'ip link show usb0'
        ifconfig usb0 10.0.2.15 netmask 255.255.255.0 up && route add default gw 10.0.2.2
    } >/tmp/err 2>&1
    result usb0 '[ $rc = 0 ]'

    say() { tell over-usb0 && echo q; }
    held tcpconsole build-host "$echo_port"
    result host-echo '[ $rc = 0 ] && has over-usb0 && ended'

    say() { :; }
    start=$(now)
    held tcpconsole build-host "$stream_port"
    result host-stream '[ $rc = 0 ] && ended && received && ends ^Disconnected &&
        [ "$(md5 /tmp/data)" = "$stream_md5" ]'
    [ ! -f /tmp/data ] || figures tcpconsole /tmp/data "$start"
    start=$(now) chunks=
    timeout 30 nc 10.0.2.2 "$stream_port" </dev/null >/tmp/nc
    stop=$(now)
    figures "busybox nc" /tmp/nc "$start"

    held tcpconsole build-host "$greeting_port"
    result host-close '[ $rc = 0 ] && ended && received && ends ^Disconnected &&
        [ "$(cat /tmp/data)" = "hello from the build host" ]'

    # The server resets once the client answers its 3000 bytes (see
    # tools/boot-servers.py); the answer's prompt and menu start the end line.
    say() { waitfor 'shown 3000' && echo m && waitfor 'has "$prompt"' && echo bye; }
    held tcpconsole build-host "$reset_port"
    result host-reset '[ $rc = 0 ] && ended && received && [ "$(wc -c </tmp/data)" = 3000 ] &&
        [ "$(md5 /tmp/data)" = "$reset_md5" ] && ends "^$prompt${menu}Err:recv 104 "'

    run tcpconsole build-host "$refused_port" </dev/null
    result host-refused '[ $rc = 1 ] && has "^Err:connect 111 "'
fi

echo "tcpconsole-boot: $passed passed, $failed failed"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet) >"$tmp/initrd"

status=0
if [ $board = pi-zero ]; then
    sessions=12
    timeout 300 qemu-system-arm -M raspi0 -kernel "$kernel" -dtb "$dtb" -initrd "$tmp/initrd" \
        -device usb-net,netdev=n0 -netdev user,id=n0 -nographic -no-reboot -append \
        'console=ttyAMA0,115200 rdinit=/init panic=-1 initcall_blacklist=bcm2835_power_driver_init' \
        </dev/null >"$tmp/console" 2>&1 || status=$?
else
    sessions=6
    # -nic none: no network card, whose boot ROM Debian's qemu lacks.
    timeout 300 qemu-system-aarch64 -M virt -cpu cortex-a53 -m 512 -nic none \
        -kernel "$kernel" -initrd "$tmp/initrd" -nographic -no-reboot \
        -append 'console=ttyAMA0 rdinit=/init panic=-1' </dev/null >"$tmp/console" 2>&1 || status=$?
fi
tr -d '\r' <"$tmp/console" | tee "$tmp/console.txt"
echo "pi-zero-boot: $board: qemu exited $status after $(($(date +%s) - t0)) s in all"
grep -qx "tcpconsole-boot: $sessions passed, 0 failed" "$tmp/console.txt" && [ "$status" -eq 0 ]
