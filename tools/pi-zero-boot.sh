#!/bin/sh
# Boots Debian's Raspberry Pi kernel on an emulated Pi Zero (qemu-system-arm
# -M raspi0: an ARM1176 core) from an initramfs of busybox and the static
# programs of BUILD_DIR, and runs client sessions there:
#
#   tools/pi-zero-boot.sh [BUILD_DIR]        (default: build-armv6)
#
# Needs qemu-system-arm, cpio and the armel architecture known to apt
# (dpkg --add-architecture armel && apt-get update). The kernel and busybox
# packages are downloaded once, into $TCPCONSOLE_BOOT_CACHE (default
# ~/.cache/tcpconsole-pi-zero), and never installed. Exits 0 only when every
# session passed and qemu exited 0.
set -eu
build=$(cd "${1:-build-armv6}" && pwd)
cache=${TCPCONSOLE_BOOT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tcpconsole-pi-zero}
t0=$(date +%s)

# linux-image-rpi names the current kernel package; keep only what boots.
kpkg=$(apt-cache depends linux-image-rpi:armel 2>/dev/null |
    sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*\):armel$/\1/p' | head -n 1)
[ -n "$kpkg" ] || { echo "pi-zero-boot: no linux-image-rpi:armel known to apt" >&2; exit 1; }
fetch() ( # PACKAGE MEMBER...: those files of the armel package, once
    [ -d "$cache/$1" ] && exit 0
    rm -rf "$cache/$1.part" && mkdir -p "$cache/$1.part" && cd "$cache/$1.part"
    timeout 600 apt-get download -q "$1:armel"
    dpkg-deb --fsys-tarfile ./*.deb | (shift && tar -x --wildcards "$@")
    rm ./*.deb && cd .. && mv "$1.part" "$1"
)
fetch "$kpkg" './boot/vmlinuz-*' './usr/lib/linux-image-*/bcm2835-rpi-zero.dtb'
fetch busybox-static ./bin/busybox
kernel=$(ls "$cache/$kpkg"/boot/vmlinuz-*)
dtb=$(ls "$cache/$kpkg"/usr/lib/linux-image-*/bcm2835-rpi-zero.dtb)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root
mkdir -p "$root/bin" "$root/etc" "$root/dev" "$root/proc" "$root/tmp"
cp "$cache/busybox-static/bin/busybox" "$build/tcpconsole" "$build/echo_server" "$root/bin/"
ln -s busybox "$root/bin/sh"
printf '127.0.0.1\tlocalhost\n127.0.0.1\tpi-echo\n' >"$root/etc/hosts"
# A Raspberry Pi OS system's: the static client must not need mdns4_minimal.
echo 'hosts: files mdns4_minimal [NOTFOUND=return] dns' >"$root/etc/nsswitch.conf"
cat >"$root/init" <<'EOF'
#!/bin/sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs dev /dev && exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
dmesg -n 1
ip link set lo up
passed=0 failed=0
result() { # NAME CHECK, right after a session: $rc is its exit status
    rc=$? name=$1
    if eval "$2"; then
        echo "tcpconsole-boot: PASS $name"
        passed=$((passed + 1))
    else
        echo "tcpconsole-boot: FAIL $name (exit $rc)"
        sed 's/^/    /' /tmp/err
        failed=$((failed + 1))
    fi
}
feed() { echo m; sleep 0.5; echo "$1"; sleep 1; echo q; }
run() { timeout 30 tcpconsole "$@" >/tmp/out 2>/tmp/err; }
has() { grep -q "$1" /tmp/err; }
ended() { grep -qx 'ThreadFunc End' /tmp/out; }
waitport() { # the port an echo server started in the background prints
    for _ in $(seq 50); do [ -s /tmp/port ] && break; sleep 0.1; done
    port=$(cat /tmp/port)
}

grep -E '^(model name|CPU part)' /proc/cpuinfo
uname -m
result cpu 'grep -q "^CPU part.*0xb76$" /proc/cpuinfo && [ "$(uname -m)" = armv6l ]'

feed echo-round-trip | timeout 30 echo_server --run tcpconsole >/tmp/out 2>/tmp/err
result echo '[ $rc = 0 ] && has echo-round-trip && ended'

echo_server 0 4 >/tmp/port &
waitport
feed from-etc-hosts | run pi-echo "$port"
result hosts-name '[ $rc = 0 ] && has from-etc-hosts && ended'

{ echo m; sleep 0.5; echo last-words; } | run 127.0.0.1 "$port"
result server-gone '[ $rc = 0 ] && has last-words && has Disconnected && ended'

run 127.0.0.1 "$port" </dev/null
result refused '[ $rc = 1 ] && has "^Err:connect 111 Connection refused"'

run pi-zero.local 80 </dev/null
result mdns-name '[ $rc = 1 ] && has "^Err:connect -[0-9]"'

echo "tcpconsole-boot: $passed passed, $failed failed"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet) >"$tmp/initrd"

status=0
timeout 300 qemu-system-arm -M raspi0 -kernel "$kernel" -dtb "$dtb" -initrd "$tmp/initrd" \
    -nographic -no-reboot -append \
    'console=ttyAMA0,115200 rdinit=/init panic=-1 initcall_blacklist=bcm2835_power_driver_init' \
    </dev/null >"$tmp/console" 2>&1 || status=$?
tr -d '\r' <"$tmp/console" | tee "$tmp/console.txt"
echo "pi-zero-boot: qemu exited $status after $(($(date +%s) - t0)) s in all"
grep -qx 'tcpconsole-boot: 6 passed, 0 failed' "$tmp/console.txt" && [ "$status" -eq 0 ]
