#!/bin/sh
# Checks a program linked against varnel32's import library: it imports from varnel32.dll
# only names that the DLL exports (on 32-bit Windows the decorated _IR...@N names, which
# the loader matches exactly), and otherwise only system DLLs.
# Usage: check_linked_program.sh OBJDUMP PROGRAM DLL
set -eu
objdump=$1 program=$2 dll=$3
fail() { echo "check_linked_program: $program: $*" >&2; exit 1; }

dump=$("$objdump" -p "$program")
others=$(printf '%s\n' "$dump" | awk '/DLL Name:/ { print tolower($3) }' |
  grep -vxE 'kernel32\.dll|msvcrt\.dll|varnel32\.dll' || true)
[ -z "$others" ] || fail "imports $(echo $others)"
imported=$(printf '%s\n' "$dump" | awk '
  /DLL Name:/ { on = (tolower($3) == "varnel32.dll"); next }
  on && /^[ \t]*[0-9a-f]+[ \t]+[0-9]+[ \t]+[^ \t]+$/ { print $3 }')
[ -n "$imported" ] || fail "imports nothing from varnel32.dll"
exports=$("$objdump" -p "$dll" | awk '
  /^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
  on && /^[ \t]*\[/ { print $NF; next }
  on && /^$/ && n++ { exit }')
for name in $imported; do
  printf '%s\n' "$exports" | grep -qxF "$name" || fail "imports $name, which $(basename "$dll") does not export"
done
echo "$program: its $(printf '%s\n' "$imported" | wc -l) imports from varnel32.dll are all exported"
