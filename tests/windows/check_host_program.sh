#!/bin/sh
# Checks the host program without running it (the 32-bit one has no wine to run on here):
#  - it imports only system DLLs, and not varnel32.dll, which it loads at run time;
#  - it holds, as the strings it passes to GetProcAddress, every name that the DLL exports.
# Usage: check_host_program.sh OBJDUMP HOST_EXE DLL
set -eu
objdump=$1 host=$2 dll=$3
fail() { echo "check_host_program: $host: $*" >&2; exit 1; }

imports=$("$objdump" -p "$host" | awk '/DLL Name:/ { print tolower($3) }' | sort -u)
[ -n "$imports" ] || fail "objdump shows no imports"
others=$(printf '%s\n' "$imports" | grep -vxE 'kernel32\.dll|msvcrt\.dll' || true)
[ -z "$others" ] || fail "imports more than kernel32 and msvcrt: $(echo $others)"

exports=$("$objdump" -p "$dll" | awk '
  /^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
  on && /^[ \t]*\[/ { print $NF; next }
  on && /^$/ && n++ { exit }')
[ "$(printf '%s\n' "$exports" | wc -l)" -eq 19 ] || fail "cannot read 19 exports of $dll"
strings -a "$host" >"${TMPDIR:-/tmp}/host-strings.$$"
missing=""
for name in $exports; do
  grep -qxF "$name" "${TMPDIR:-/tmp}/host-strings.$$" || missing="$missing $name"
done
rm -f "${TMPDIR:-/tmp}/host-strings.$$"
[ -z "$missing" ] || fail "does not ask GetProcAddress for:$missing"
echo "$host: imports $(echo $imports), resolves all 19 exports of $(basename "$dll") by name"
