#!/bin/sh
# Checks that linked programs run on an ARMv6 core (ARM1176JZF-S):
#   check-armv6.sh EXECUTABLE...
# Each must say Tag_CPU_arch v6, v6K or v6KZ without Thumb-2, VFPv2 at most
# and no NEON, be linked statically, and hold no ARMv7-only instruction in
# what objdump -d disassembles. The attributes alone are not enough: they
# are what the inputs claimed, and start-up files or libraries may claim
# less than they hold. READELF and OBJDUMP name the target's tools.
set -eu
[ $# -gt 0 ] || { echo "usage: check-armv6.sh EXECUTABLE..." >&2; exit 2; }
readelf=${READELF:-arm-linux-gnueabi-readelf}
objdump=${OBJDUMP:-arm-linux-gnueabi-objdump}
bad=0

for exe in "$@"; do
    if ! attrs=$("$readelf" -A "$exe") || ! dyn=$("$readelf" -d "$exe") ||
        ! code=$("$objdump" -d "$exe"); then
        echo "FAIL $exe: cannot be read"
        bad=1
        continue
    fi
    printf '%s\n' "$attrs" | grep -E 'Tag_(CPU_arch|THUMB_ISA_use|FP_arch|Advanced_SIMD_arch):' |
        sed "s|^ *|$exe: |"
    reason=
    printf '%s\n' "$attrs" | grep -Eq '^ *Tag_CPU_arch: v6(K|KZ)?$' || reason="$reason, not ARMv6"
    printf '%s\n' "$attrs" | grep -q 'Thumb-2' && reason="$reason, Thumb-2"
    printf '%s\n' "$attrs" | grep -Eq 'Tag_FP_arch: VFPv[3-9]|Tag_Advanced_SIMD_arch' &&
        reason="$reason, FPU beyond VFPv2"
    printf '%s\n' "$dyn" | grep -q 'no dynamic section' || reason="$reason, not static"
    # Instruction lines are ADDRESS:<tab>ENCODING<tab>MNEMONIC<tab>OPERANDS;
    # only the mnemonic is matched, never symbols or comments. A 32-bit Thumb
    # encoding (two halfwords) other than Thumb-1's bl/blx is Thumb-2.
    found=$(printf '%s\n' "$code" | awk -F '\t' '
        /^[0-9a-f]+ <.*>:$/ { fn = $0; sub(/^[0-9a-f]+ /, "", fn); sub(/:$/, "", fn); next }
        $1 !~ /^ *[0-9a-f]+:$/ || NF < 3 { next }
        {
            m = $3; sub(/ +$/, "", m)
            c = "(eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al)?"
            if (m ~ ("^(movw|movt|ubfx|sbfx|bfi|bfc|sdiv|udiv|ldrexd|strexd|rbit)" c "$") ||
                m ~ /^(dmb|dsb|isb|cbn?z)$/ || m ~ /\.w$/ ||
                ($2 ~ /^[0-9a-f][0-9a-f][0-9a-f][0-9a-f] [0-9a-f][0-9a-f][0-9a-f][0-9a-f] *$/ && m !~ /^blx?$/)) {
                n[m]++
                if (shown++ < 3) printf "  %s in %s:%s\n", m, fn, $0
            }
        }
        END { for (m in n) printf "  %d x %s\n", n[m], m }')
    [ -z "$found" ] || reason="$reason, ARMv7 instructions"
    if [ -n "$reason" ]; then
        echo "FAIL $exe:${reason#,}"
        [ -z "$found" ] || printf '%s\n' "$found"
        bad=1
    else
        echo "ok $exe"
    fi
done
[ "$bad" -eq 0 ] || { echo "check-armv6: FAILED"; exit 1; }
echo "check-armv6: $# programs ARMv6, static, no ARMv7 instruction"
