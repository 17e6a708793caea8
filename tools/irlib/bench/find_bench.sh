#!/usr/bin/env bash
# How long `irlib find` takes over a library the size of the public database (~9k remotes).
# With a directory of .ir files (e.g. a copy of the public collection), imports it COPIES
# times under different top directories; without, generates 9000 remotes of 40 signals each,
# a quarter of them raw captures. Then times each kind of query as a user runs it.
# Usage: tools/irlib/bench/find_bench.sh BUILD_DIR [IR_TREE [COPIES]]
set -euo pipefail
build="$(cd "${1:?usage: find_bench.sh BUILD_DIR [IR_TREE [COPIES]]}" && pwd)"
irlib="$build/tools/irlib/irlib"
[ -x "$irlib" ] || { echo "find_bench: $irlib is missing; build first" >&2; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

if [ $# -ge 2 ]; then
  copies=${3:-15}
  for i in $(seq 1 "$copies"); do mkdir -p "$work/tree/Copy$i" && cp -r "$2"/. "$work/tree/Copy$i/"; done
else
  # Remote r: NEC address r%256 (NECext above 256), commands 0..29; SIRC 10; RC5 10 raw-free;
  # every fourth remote stores its NEC signals as raw captures with jitter.
  awk -v out="$work/tree" 'BEGIN {
    srand(7);
    for (r = 0; r < 9000; r++) {
      dir = out "/Type" (r % 12) "/Maker" (r % 300); f = dir "/Remote" r ".ir";
      if (!(dir in made)) { system("mkdir -p \"" dir "\""); made[dir] = 1 }
      print "Filetype: IR signals file\nVersion: 1" > f;
      a = r % 256; hi = int(r / 256) % 256;
      for (c = 0; c < 20; c++) {
        if (r % 4 == 3) {
          printf "#\nname: B%d\ntype: raw\nfrequency: 38000\nduty_cycle: 0.33\ndata: %d %d", c, 9000 + int(rand()*200), 4500 - int(rand()*100) > f;
          v = a + (255 - a) * 256 + c * 65536 + (255 - c) * 16777216;
          for (b = 0; b < 32; b++) { bit = int(v / 2^b) % 2; printf " %d %d", 560 + int(rand()*60), bit ? 1690 + int(rand()*60) : 560 + int(rand()*60) > f }
          printf " 560\n" > f;
        } else if (hi == 0) {
          printf "#\nname: B%d\ntype: parsed\nprotocol: NEC\naddress: %02X 00 00 00\ncommand: %02X 00 00 00\n", c, a, c > f;
        } else {
          printf "#\nname: B%d\ntype: parsed\nprotocol: NECext\naddress: %02X %02X 00 00\ncommand: %02X %02X 00 00\n", c, a, hi, c, 255 - c > f;
        }
      }
      for (c = 0; c < 10; c++) printf "#\nname: S%d\ntype: parsed\nprotocol: SIRC\naddress: %02X 00 00 00\ncommand: %02X 00 00 00\n", c, r % 32, c > f;
      for (c = 0; c < 10; c++) printf "#\nname: R%d\ntype: parsed\nprotocol: RC5\naddress: %02X 00 00 00\ncommand: %02X 00 00 00\n", c, r % 32, c > f;
      close(f);
    }
  }'
fi

"$irlib" create "$work/big.vlib" >/dev/null
"$irlib" import "$work/big.vlib" "$work/tree" | sed -n 1p
"$irlib" stats "$work/big.vlib" | sed -n 1,2p

time_query() {  # label, arguments...
  local label="$1"; shift
  local start end
  start=$(date +%s%N)
  for _ in 1 2 3 4 5; do "$irlib" find "$work/big.vlib" "$@" >"$work/out.txt"; done
  end=$(date +%s%N)
  printf '%-34s %6.3f s per query, %s\n' "$label" "$(echo "($end - $start) / 5000000000" | bc -l)" \
    "$(tail -1 "$work/out.txt")"
}
time_query "--code NEC 0x04 0x08" --code NEC 0x04 0x08
time_query "--raw (NEC 0x10/0x05 timings)" --raw "$(printf '9000 4500'; for b in 0 0 0 0 1 0 0 0 1 1 1 1 0 1 1 1 1 0 1 0 0 0 0 0 0 1 0 1 1 1 1 1; do [ $b = 1 ] && printf ' 562 1687' || printf ' 562 562'; done; printf ' 562')"
time_query "--raw (no protocol)" --raw "1000 2000 1000 2000 1000"
time_query "--name 'Power*'" --name 'Power*'
