#!/bin/sh
# Checks a program linked against varnel32.dll's import library without running it (the 32-bit
# programs have no wine to run on here): it imports only system DLLs and, from varnel32.dll,
# only names the DLL exports (on 32-bit Windows the decorated _IR...@N names, which the loader
# matches exactly).
# Usage: check_program_imports.sh OBJDUMP PROGRAM DLL
set -eu
objdump=$1 program=$2 dll=$3
fail() { echo "check_program_imports: $program: $*" >&2; exit 1; }

dump=$("$objdump" -p "$program")
others=$(printf '%s\n' "$dump" | awk '/DLL Name:/ { print tolower($3) }' |
  grep -vxE 'kernel32\.dll|msvcrt\.dll|varnel32\.dll' || true)
[ -z "$others" ] || fail "imports $(echo $others)"
exports=$("$objdump" -p "$dll" | awk '
  /^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
  on && /^[ \t]*\[/ { print $NF; next }
  on && /^$/ && n++ { exit }')
[ "$(printf '%s\n' "$exports" | wc -l)" -eq 19 ] || fail "cannot read 19 exports of $dll"
imported=$(printf '%s\n' "$dump" | awk '
  /DLL Name:/ { on = (tolower($3) == "varnel32.dll"); next }
  on && /^[ \t]*[0-9a-f]+[ \t]+[0-9]+[ \t]+[^ \t]+$/ { print $3 }')
[ -n "$imported" ] || fail "imports nothing from varnel32.dll"
for name in $imported; do
  printf '%s\n' "$exports" | grep -qxF "$name" || fail "imports $name, which $(basename "$dll") does not export"
done
echo "$program: its $(printf '%s\n' "$imported" | wc -l) imports from varnel32.dll are all exported"
