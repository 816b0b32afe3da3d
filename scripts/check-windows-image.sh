#!/usr/bin/env bash
# check-windows-image.sh IMAGE ARCH [driver|tool]
#
# Inspects a mingw-built Windows image without running it.
#   ARCH   x86 (also i686) or x64 (also x86_64, amd64)
#   KIND   driver: a kernel image (default for *.sys); tool: a user-mode console program (default
#          for *.exe)
# A kernel image must be a native-subsystem, relocatable, non-DLL image of the right machine that
# imports from ntoskrnl.exe (and HAL.dll) only, carries no C++ run-time machinery (static
# constructors, exception support), has a valid PE checksum and enters at DriverEntry.
# A tool must be a console program that imports only DLLs every Windows installation has.
# Both carry version information with the project's version (the project() line of CMakeLists.txt)
# and their own file name (hct.sys, hctctl.exe); the tool also an application manifest (resource 1
# of type 24) asking for asInvoker and naming Windows 7, 8, 8.1 and 10/11 as supported.
# Exit status: 0 all checks passed, 1 a check failed, 2 usage or missing tools.

set -u

usage() {
    echo "usage: $0 IMAGE x86|x64 [driver|tool]" >&2
    exit 2
}

[ $# -ge 2 ] && [ $# -le 3 ] || usage
IMAGE=$1
case "$2" in
    x86 | i686 | i386) ARCH=x86 TRIPLE=i686-w64-mingw32 MACHINE=014c FORMAT=pei-i386 ;;
    x64 | x86_64 | amd64) ARCH=x64 TRIPLE=x86_64-w64-mingw32 MACHINE=8664 FORMAT=pei-x86-64 ;;
    *) usage ;;
esac
if [ $# -eq 3 ]; then
    KIND=$3
else
    case "$IMAGE" in
        *.exe | *.EXE) KIND=tool ;;
        *) KIND=driver ;;
    esac
fi
case "$KIND" in driver | tool) ;; *) usage ;; esac

[ -f "$IMAGE" ] || { echo "FAIL: $IMAGE: no such file" >&2; exit 1; }

OBJDUMP=$TRIPLE-objdump
NM=$TRIPLE-nm
WINDRES=$TRIPLE-windres
command -v "$OBJDUMP" >/dev/null || OBJDUMP=objdump
command -v "$NM" >/dev/null || NM=nm
for t in "$OBJDUMP" "$NM" "$WINDRES" python3; do
    command -v "$t" >/dev/null || { echo "$0: $t not found" >&2; exit 2; }
done

FAILED=0
fail() {
    echo "FAIL: $IMAGE: $*" >&2
    FAILED=1
}
pass() {
    echo "ok:   $*"
}

HEADERS=$("$OBJDUMP" -p "$IMAGE" 2>&1) || { echo "FAIL: $IMAGE: objdump cannot read it: $HEADERS" >&2; exit 1; }
header() { # header FIELD -> value of the first "FIELD <value>" line of objdump -p
    printf '%s\n' "$HEADERS" | awk -v f="$1" '$1 == f { print $2; exit }'
}

# --- machine and format -------------------------------------------------------------------------
format=$(printf '%s\n' "$HEADERS" | sed -n 's/.*file format \([^ ]*\).*/\1/p' | head -n 1)
if [ "$format" = "$FORMAT" ]; then pass "format $format"; else fail "format is '$format', expected $FORMAT for $ARCH"; fi

# --- subsystem ----------------------------------------------------------------------------------
subsystem=$(header Subsystem)
if [ "$KIND" = driver ]; then want=00000001 wantname="1 (native)"; else want=00000003 wantname="3 (console)"; fi
if [ "$subsystem" = "$want" ]; then pass "subsystem $wantname"; else fail "subsystem is '$subsystem', expected $wantname"; fi

# --- file characteristics ------------------------------------------------------------------------
chars=$(printf '%s\n' "$HEADERS" | awk '$1 == "Characteristics" { print $2; exit }')
if [ -n "$chars" ]; then
    c=$((16#${chars#0x}))
    if [ $((c & 0x2000)) -ne 0 ]; then fail "marked as a DLL (Characteristics $chars)"; else pass "not a DLL"; fi
    if [ "$KIND" = driver ]; then
        # The kernel loads drivers wherever it finds room: the relocations must be there.
        if [ $((c & 0x0001)) -ne 0 ]; then fail "relocations stripped (Characteristics $chars)"; fi
        reloc_size=$(printf '%s\n' "$HEADERS" | awk '/Base Relocation Directory/ { print $4; exit }')
        if [ -n "$reloc_size" ] && [ $((16#$reloc_size)) -ne 0 ]; then
            pass "relocatable"
        else
            fail "no base relocation directory: the kernel could not load it above its image base"
        fi
    fi
else
    fail "no Characteristics line in objdump -p"
fi

# --- imports -----------------------------------------------------------------------------------
dlls=$(printf '%s\n' "$HEADERS" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
if [ "$KIND" = driver ]; then
    allowed='^(ntoskrnl\.exe|hal\.dll)$'
    printf '%s\n' "$dlls" | grep -qx 'ntoskrnl.exe' || fail "does not import from ntoskrnl.exe"
else
    # Present on every supported Windows; the C run-time is the system's msvcrt or the UCRT.
    allowed='^(kernel32\.dll|msvcrt\.dll|ucrtbase\.dll|api-ms-win-crt-[a-z0-9-]+\.dll|ntdll\.dll|advapi32\.dll|user32\.dll|setupapi\.dll|cfgmgr32\.dll)$'
fi
bad=$(printf '%s\n' "$dlls" | grep -v '^$' | grep -Ev "$allowed")
runtime=$(printf '%s\n' "$dlls" | grep -E 'libgcc|libstdc\+\+|libwinpthread')
if [ "$KIND" = driver ]; then
    runtime=$(printf '%s\n%s\n' "$runtime" "$(printf '%s\n' "$dlls" | grep -E 'msvcr|ucrt|api-ms-win-crt')" | grep -v '^$')
fi
[ -z "$runtime" ] || fail "imports a run-time library: $(echo $runtime)"
if [ -z "$bad" ]; then
    pass "imports only from: $(echo $dlls)"
else
    fail "imports from DLLs outside the allowed set: $(echo $bad)"
fi

if [ "$KIND" = driver ]; then
    # --- C++ run-time machinery ------------------------------------------------------------------
    SYMS=$("$NM" "$IMAGE" 2>&1)
    if printf '%s\n' "$SYMS" | grep -qi 'no symbols'; then
        fail "no symbol table: check the unstripped image"
    else
        ctors=$(printf '%s\n' "$SYMS" | grep -E '_GLOBAL__sub_' | awk '{print $NF}')
        cxa=$(printf '%s\n' "$SYMS" | grep -E '__cxa_|__gxx_personality|_Unwind_Resume|__chkstk' | awk '{print $NF}')
        # Static constructors link but nobody runs them in the kernel.
        [ -z "$ctors" ] || fail "static constructors present (never run in the kernel): $(echo $ctors)"
        [ -z "$cxa" ] || fail "C++ run-time or stack-probe symbols present: $(echo $cxa)"
        # The linker's constructor table must hold only its two sentinels (-1 and 0).
        ctor_list=$(printf '%s\n' "$SYMS" | awk '$3 == "__CTOR_LIST__" { print $1; exit }')
        dtor_list=$(printf '%s\n' "$SYMS" | awk '$3 == "__DTOR_LIST__" { print $1; exit }')
        if [ "$ARCH" = x86 ]; then ptr=4; else ptr=8; fi
        if [ -n "$ctor_list" ] && [ -n "$dtor_list" ] && [ $((16#$dtor_list - 16#$ctor_list)) -ne $((2 * ptr)) ]; then
            fail "the constructor table has entries ($((16#$dtor_list - 16#$ctor_list)) bytes): static constructors present"
            ctors=yes
        fi
        [ -n "$ctors$cxa" ] || pass "no static constructors, no __cxa_/unwind/__chkstk symbols"
    fi

    # --- entry point ---------------------------------------------------------------------------------
    entry_rva=$(header AddressOfEntryPoint)
    image_base=$(header ImageBase)
    if [ -n "$entry_rva" ] && [ -n "$image_base" ]; then
        entry_va=$(printf '%x' $((16#$entry_rva + 16#$image_base)))
        if [ "$ARCH" = x86 ]; then entry_name=_DriverEntry@8; else entry_name=DriverEntry; fi
        at_entry=$(printf '%s\n' "$SYMS" | awk -v va="$entry_va" '
            { a = $1; sub(/^0+/, "", a); if (a == va && ($2 == "T" || $2 == "t")) print $3 }')
        if printf '%s\n' "$at_entry" | grep -qx "$entry_name"; then
            pass "entry point is $entry_name (0x$entry_va)"
        else
            fail "entry point 0x$entry_va is '$(echo $at_entry)', expected $entry_name"
        fi
    else
        fail "no AddressOfEntryPoint/ImageBase in objdump -p"
    fi
fi

# --- version information and manifest -----------------------------------------------------------
VERSION=$(sed -n 's/^project(hct VERSION \([0-9][0-9.]*\).*/\1/p' "$(dirname "$0")/../CMakeLists.txt")
if [ "$KIND" = driver ]; then name=hct.sys types="0x3 0x7"; else name=hctctl.exe types="0x1"; fi
RC_TEXT=$("$WINDRES" -i "$IMAGE" -O rc 2>&1) || RC_TEXT=""
rc_value() { printf '%s\n' "$RC_TEXT" | sed -n "s/^ *VALUE \"$1\", \"\(.*\)\"$/\1/p" | head -n 1; }
fileversion=$(printf '%s\n' "$RC_TEXT" | sed -n 's/^ *FILEVERSION //p' | tr -d ' ' | tr , .)
filetypes=$(echo $(printf '%s\n' "$RC_TEXT" | sed -n 's/^ *FILE\(SUB\)\{0,1\}TYPE //p'))
if [ -z "$VERSION" ]; then
    fail "no version in the project() line of CMakeLists.txt to compare the version information with"
elif [ "$(printf '%s\n' "$RC_TEXT" | grep -c '^1 VERSIONINFO')" = 1 ] && [ "$fileversion" = "$VERSION" ] &&
     [ "$(rc_value FileVersion)" = "$VERSION" ] && [ "$(rc_value ProductVersion)" = "$VERSION" ] &&
     [ "$(rc_value OriginalFilename)" = "$name" ] && [ "$filetypes" = "$types" ]; then
    pass "version information $VERSION, $name, file type $filetypes"
else
    fail "version information: FILEVERSION '$fileversion', FileVersion '$(rc_value FileVersion)', ProductVersion '$(rc_value ProductVersion)', OriginalFilename '$(rc_value OriginalFilename)', type '$filetypes'; expected $VERSION, $name, type $types"
fi
if [ "$KIND" = tool ]; then
    manifest=$(printf '%s\n' "$RC_TEXT" | sed -n '/^1 24 /,/^END/p' | sed 's/""/"/g')
    missing=""
    printf '%s\n' "$manifest" | grep -q 'requestedExecutionLevel level="asInvoker"' || missing+=" asInvoker"
    # Windows 7, 8, 8.1, 10 and 11 (the last two share one ID).
    for os in 35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
              1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
        printf '%s\n' "$manifest" | grep -q "supportedOS Id=\"{$os}\"" || missing+=" supportedOS{$os}"
    done
    if [ -z "$manifest" ]; then
        fail "no application manifest (resource 1 of type 24)"
    elif [ -n "$missing" ]; then
        fail "the manifest lacks:$missing"
    else
        pass "manifest: asInvoker, supportedOS Windows 7, 8, 8.1, 10/11"
    fi
fi

# --- PE checksum (drivers must carry a correct one; the loader verifies it) -------------------------
csum_out=$(python3 - "$IMAGE" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
if len(data) < 0x40 or data[:2] != b"MZ":
    sys.exit("not an MZ image")
pe = struct.unpack_from("<I", data, 0x3C)[0]
if data[pe:pe + 4] != b"PE\0\0":
    sys.exit("no PE signature")
# CheckSum sits 64 bytes into the optional header in both PE32 and PE32+.
field = pe + 4 + 20 + 64
stored = struct.unpack_from("<I", data, field)[0]
buf = bytearray(data)
buf[field:field + 4] = b"\0\0\0\0"
if len(buf) % 2:
    buf += b"\0"
total = 0
for (word,) in struct.iter_unpack("<H", buf):
    total += word
    total = (total & 0xFFFF) + (total >> 16)
total = (total & 0xFFFF) + (total >> 16)
computed = (total + len(data)) & 0xFFFFFFFF
print("%08x %08x" % (stored, computed))
EOF
) || { fail "cannot compute the PE checksum: $csum_out"; csum_out=""; }
if [ -n "$csum_out" ]; then
    set -- $csum_out
    if [ "$1" = "$2" ]; then
        pass "PE checksum 0x$1 valid"
    elif [ "$KIND" = driver ]; then
        fail "PE checksum in the header is 0x$1, the image sums to 0x$2"
    else
        pass "PE checksum not checked for a user-mode program (header 0x$1)"
    fi
fi

if [ $FAILED -ne 0 ]; then
    echo "FAILED: $IMAGE is not a valid $ARCH $KIND image" >&2
    exit 1
fi
echo "PASSED: $IMAGE ($ARCH $KIND)"
