#!/bin/sh
# The emulated board's /init (tools/pi-zero-boot.sh puts it in the
# initramfs beside busybox, tcpconsole and echo_server). Runs client sessions
# on the board's loopback, then, where /etc/host-servers exists, over the USB
# Ethernet link against tools/boot-servers.py on the build host; prints
# "tcpconsole-boot: PASS NAME" or "FAIL NAME" for each and a closing count,
# then powers the board off.
#
# Each session ends in exactly one call of result, on a line of its own
# that begins with it: pi-zero-boot.sh counts those lines to know how many
# sessions must pass, those after "if [ -f /etc/host-servers ]" only on a
# board with the link.
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
pi-zero) cpu='grep -q "^CPU part.*0xb76$" /proc/cpuinfo && [ "$(uname -m)" = armv6l ]' ;;
arm64) cpu='grep -q "^CPU part.*0xd03$" /proc/cpuinfo && [ "$(uname -m)" = aarch64 ]' ;;
esac
result cpu "$cpu"

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
