#!/usr/bin/env bash
# A short tour of irlib on the example remotes in examples/: create a library, import, look
# around, remove a few remotes, compact, check, export, and show that the export gives back
# what went in; then a Pronto export, LIRC and find. Usage: scripts/demo.sh BUILD_DIR (make demo
# builds first; this builds nothing).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: scripts/demo.sh BUILD_DIR}" && pwd)"
binary="$build/tools/irlib/irlib"
[ -x "$binary" ] || { echo "demo: $binary is missing; run 'make build' first" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp -r "$root/examples" "$work/examples"
cd "$work"

irlib() { "$binary" "$@"; }
run() { printf '\n$ %s\n' "$*"; "$@"; }
note() { printf '\n# %s\n' "$*"; }

# Whitespace and the bare "#" separator lines are the only things an export may change.
normalise_tree() {
  local from="$1" to="$2"
  (cd "$from" && find . -name '*.ir') | while IFS= read -r f; do
    mkdir -p "$to/$(dirname "$f")"
    tr -d '\r' < "$from/$f" | awk '{$1=$1} $0 != "" && $0 != "#"' > "$to/$f"
  done
}

note "A new, empty library file: a 1570-byte header."
run irlib create demo.vlib
note "Import the example tree: <Category>/<Manufacturer>/.../<Model>.ir becomes type, manufacturer, model."
run irlib import demo.vlib examples --verbose
run irlib ls demo.vlib
run irlib show demo.vlib Philips TVs PhilipsTV
note "Remove three remotes; their extents become free slots."
run irlib rm demo.vlib Xpelair Fans Xpelair_XPA360CF_Fan
run irlib rm demo.vlib Roku Streaming_Devices Roku_4k
run irlib rm demo.vlib JYSK LED_Lighting Kristjan_LED_candle
run irlib stats demo.vlib
run irlib compact demo.vlib --dry-run
run irlib compact demo.vlib
run irlib check demo.vlib
run irlib export demo.vlib exported

note "The export against the input, both normalised (whitespace, bare '#' lines), without the three removed remotes:"
normalise_tree examples expected
normalise_tree exported actual
rm expected/Fans/Xpelair/Xpelair_XPA360CF_Fan.ir expected/Streaming_Devices/Roku/Roku_4k.ir \
   expected/LED_Lighting/JYSK/Kristjan_LED_candle.ir
find expected -type d -empty -delete
run diff -r expected actual
echo "no differences: all $(find actual -name '*.ir' | wc -l) remotes came back signal for signal"

note "A damaged copy: one byte flipped in the second record's header. check names the block; salvage rescues the rest."
cp demo.vlib damaged.vlib
second=$(( 1570 + $(od -An -tu2 -j $((1570 + 10)) -N2 demo.vlib) ))
printf '\xff' | dd of=damaged.vlib bs=1 seek=$((second + 20)) conv=notrunc 2>/dev/null
printf '\n$ irlib check damaged.vlib\n'
if irlib check damaged.vlib; then echo "demo: check missed the damage" >&2; exit 1; fi
run irlib salvage damaged.vlib rescued.vlib
run irlib check rescued.vlib

note "Other formats. Every remote as Pronto hex, parsed signals rendered to timings first (first lines, cut):"
run irlib export demo.vlib pronto --format pronto
printf '\n$ head -3 pronto/VCR/Sony/Sony_SLVM88.pronto | cut -c1-110\n'
head -3 pronto/VCR/Sony/Sony_SLVM88.pronto | cut -c1-110
note "A remote to LIRC and back: coded when its signals share one protocol and address."
run irlib convert examples/TVs/Philips/PhilipsTV.ir philips.lircd.conf
sed -n 1,14p philips.lircd.conf
run irlib convert philips.lircd.conf philips.ir
note "Which remote is this code for? A Pronto code captured from some remote, looked up in the library:"
code="$(sed -n 's/^Power: //p' pronto/VCR/Sony/Sony_SLVM88.pronto | head -1)"
run irlib find demo.vlib --pronto "$code"
note "The same for a code given by protocol, address and command; NECext with complement bytes is NEC:"
run irlib find demo.vlib --code NECext 0xBA45 0xE41B --json
run irlib dupes demo.vlib
