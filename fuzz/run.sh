#!/usr/bin/env bash
# Runs the three fuzzers side by side, each for a bounded time, and prints how many inputs each
# executed. Any crash, sanitizer report, leak, property failure or allocation above the limit
# fails the run; the input that caused it is left in <build>/fuzz-out/<target>/.
#   fuzz/run.sh <fuzz-build-dir> <seconds>
set -euo pipefail
build=$(cd "$1" && pwd)
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
corpus=$build/corpus
targets=(open_file operations irfile)
mkdir -p "${targets[@]/#/$corpus/}"
# The library file target writes its own seeds, and any bytes are a program for the operations
# target; the .ir seeds are the example remotes.
[ -n "$(ls "$corpus/irfile")" ] || find "$here/../examples" -name '*.ir' -exec cp -t "$corpus/irfile" {} +
declare -A maxlen=([open_file]=32768 [operations]=4096 [irfile]=8192)
for t in "${targets[@]}"; do
  mkdir -p "$build/fuzz-out/$t"
  # No input is larger than 32 KiB and no record than 64 KiB, so no single allocation
  # needs 16 MiB; the sanitizers' shadow memory is what the RSS limit leaves room for.
  "$build/fuzz/varnel32_fuzz_$t" -max_total_time="$seconds" -max_len="${maxlen[$t]}" \
    -malloc_limit_mb=16 -rss_limit_mb=2048 -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-out/$t/" "$corpus/$t" > "$build/fuzz-out/$t/log" 2>&1 &
  pids+=($!)
done
failed=0
for i in "${!targets[@]}"; do
  t=${targets[$i]}
  if wait "${pids[$i]}"; then result=ok; else result=FAILED; failed=1; fi
  runs=$(awk '/^stat::number_of_executed_units/ {print $2}' "$build/fuzz-out/$t/log")
  echo "fuzz: $t: ${runs:-?} executions in $seconds s, corpus $(ls "$corpus/$t" | wc -l) inputs: $result"
  [ "$result" = ok ] || grep -v '^ ' "$build/fuzz-out/$t/log" | tail -40
done
exit $failed
