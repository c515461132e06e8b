#!/bin/sh
# Checks that a cross build made ARMv6 hard-float code:
#   check-armv6.sh BUILD_DIR
# Every object compiled in the build must say Tag_CPU_arch v6 or v6KZ and
# pass floating-point arguments in VFP registers; the programs must be
# hard-float EABI executables. The programs themselves say v7, not v6: the
# linker takes the highest architecture of its inputs, and Debian's startup
# files (crt1.o, crti.o) are ARMv7.
set -eu
dir=${1:?usage: check-armv6.sh BUILD_DIR}
readelf=${READELF:-arm-linux-gnueabihf-readelf}
command -v "$readelf" >/dev/null 2>&1 || readelf=readelf
bad=0
count=0
newline='
'
IFS=$newline # one path per line, spaces and all

objects=$(find "$dir" -path '*/CMakeFiles/*.dir/*' -name '*.o' | sort)
for obj in $objects; do
    count=$((count + 1))
    attrs=$("$readelf" -A "$obj")
    if ! printf '%s\n' "$attrs" | grep -Eq '^ *Tag_CPU_arch: v6(KZ)?$'; then
        echo "not ARMv6: $obj ($(printf '%s\n' "$attrs" | grep -E 'Tag_CPU_arch:' || echo 'no attributes'))"
        bad=1
    fi
    if ! printf '%s\n' "$attrs" | grep -q 'Tag_ABI_VFP_args: VFP registers'; then
        echo "not hard-float: $obj"
        bad=1
    fi
done

# Without our own objects the checks above prove nothing.
for name in client_main SendRecvThread ThreadJob echo_server; do
    if ! printf '%s\n' "$objects" | grep -q "/$name\.cpp\.o\$"; then
        echo "missing object: $name.cpp.o under $dir"
        bad=1
    fi
done

for exe in "$dir/tcpclient" "$dir/echo_server"; do
    if ! "$readelf" -h "$exe" | grep -q 'Flags:.*Version5 EABI, hard-float ABI' ||
        ! "$readelf" -A "$exe" | grep -q 'Tag_ABI_VFP_args: VFP registers'; then
        echo "not a hard-float EABI executable: $exe"
        bad=1
    fi
done

if [ "$bad" -ne 0 ]; then
    echo "check-armv6: FAILED"
    exit 1
fi
echo "check-armv6: $count objects ARMv6 (v6/v6KZ), VFP-register calls; programs hard-float EABI"
