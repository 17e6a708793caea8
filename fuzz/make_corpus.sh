#!/usr/bin/env bash
# Builds the seed corpora of the three fuzzers under <corpus-dir>: the generator program
# writes the library files and operation programs, and the .ir seeds are the project's
# example remotes plus, when ../shared is there, a sample of the real IR files.
#   fuzz/make_corpus.sh <fuzz-build-dir> <corpus-dir>
set -euo pipefail
build=$1
corpus=$2
here=$(cd "$(dirname "$0")" && pwd)
"$build/fuzz/varnel32_fuzz_corpus" "$corpus"
mkdir -p "$corpus/irfile"
find "$here/../examples" -name '*.ir' | sort | while read -r f; do
  cp "$f" "$corpus/irfile/example-$(basename "$f" | tr -c 'A-Za-z0-9.\n' '_')"
done
shared="$here/../../shared/data/flipper-irdb-sample"
if [ -d "$shared" ]; then
  # Every 25th file, in a fixed order: a spread of makers and both signal forms.
  find "$shared" -name '*.ir' | sort | awk 'NR % 25 == 1' | while read -r f; do
    cp "$f" "$corpus/irfile/sample-$(basename "$f" | tr -c 'A-Za-z0-9.\n' '_')"
  done
else
  echo "make_corpus: ../shared is missing; the .ir corpus has the examples only"
fi
printf 'Filetype: IR signals file\nVersion: 1\n' > "$corpus/irfile/header-only.ir"
echo "fuzz corpus: $(ls "$corpus/irfile" | wc -l) .ir files in $corpus/irfile"
