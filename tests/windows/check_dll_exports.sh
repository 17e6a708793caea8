#!/bin/sh
# Reads a varnel32.dll's tables with objdump -p: it exports exactly the names of EXPECTED
# ("ordinal _Name@bytes" lines; "plain" for the undecorated 64-bit names) at their ordinals and
# nothing else, the four IRFree names at one address and every other export at its own, and it
# imports only system DLLs, so it loads without the compiler's runtimes.
# Usage: check_dll_exports.sh OBJDUMP DLL EXPECTED [plain]
set -eu
objdump=$1 dll=$2 expected=$3 style=${4:-decorated}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "check_dll_exports: $dll: $*" >&2; exit 1; }

"$objdump" -p "$dll" >"$tmp/dump" || fail "objdump cannot read it"

if [ "$style" = plain ]; then sed 's/ _\([A-Za-z]*\)@[0-9]*$/ \1/'; else cat; fi <"$expected" >"$tmp/expected"
# One line per export: ordinal, RVA, name. Binutils prints the name pointer table with the
# index into the address table ("[   0] name"), newer versions also "+base[   1]".
awk '
  /^Ordinal Base/ { base = $3 }
  /^Export Address Table --/ { section = "eat"; next }
  /^\[Ordinal\/Name Pointer\] Table/ { section = "npt"; next }
  /^$/ { if (section == "npt" && named) section = ""; next }
  section == "eat" && /Export RVA/ {
    line = $0; sub(/^[ \t]*\[[ 0-9]*\][ \t]*\+base\[[ ]*/, "", line)
    split(line, f, /[] \t]+/); rva[f[1]] = f[2]; addresses++ ; next }
  section == "npt" && /^[ \t]*\[/ {
    line = $0; sub(/^[ \t]*\[[ ]*/, "", line)
    idx = line; sub(/\].*/, "", idx)
    name = $NF
    if (line ~ /\+base\[/) { ord = line; sub(/.*\+base\[[ ]*/, "", ord); sub(/\].*/, "", ord) }
    else ord = idx + base
    printf "%d %s %s\n", ord, rva[ord], name; named++ }
  END { printf "%d\n", addresses > "/dev/stderr" }
' "$tmp/dump" >"$tmp/exports" 2>"$tmp/address_count" || fail "cannot parse the export table"

awk '{ print $1, $3 }' "$tmp/exports" | sort -n >"$tmp/actual"
diff "$tmp/expected" "$tmp/actual" >&2 || fail "exports differ from $expected (< expected, > actual, above)"
# An ordinal exported without a name would not show above.
[ "$(cat "$tmp/address_count")" -eq "$(wc -l <"$tmp/expected")" ] ||
  fail "exports $(cat "$tmp/address_count") addresses for $(wc -l <"$tmp/expected") names"

# The four IRFree names at one address, the fifteen others each at an address of its own.
free_rvas=$(awk '$3 ~ /IRFree/ { print $2 }' "$tmp/exports" | sort -u)
[ "$(printf '%s\n' "$free_rvas" | wc -l)" -eq 1 ] ||
  fail "the four IRFree names have different addresses: $(echo $free_rvas)"
[ "$(awk '{ print $2 }' "$tmp/exports" | sort -u | wc -l)" -eq 16 ] ||
  fail "exports other than the IRFree names share an address"

# Imports: system DLLs only (no libgcc_s, libstdc++ or libwinpthread beside the DLL).
grep 'DLL Name:' "$tmp/dump" | awk '{ print tolower($3) }' | sort -u >"$tmp/imports"
others=$(grep -vxE 'kernel32\.dll|user32\.dll|msvcrt\.dll' "$tmp/imports" || true)
[ -z "$others" ] || fail "imports non-system DLLs: $(echo $others)"

echo "$dll: $(wc -l <"$tmp/actual") exports with ordinals 1..$(wc -l <"$tmp/actual") as listed," \
  "IRFree x4 at RVA $free_rvas, imports $(tr '\n' ' ' <"$tmp/imports")"
