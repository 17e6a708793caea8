#!/bin/sh
# Checks that the shared object defines exactly the names listed in the expected file in its
# dynamic symbol table: the nineteen IR... functions and nothing else.
set -eu
lib=$1
expected=$2
actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//' | sort -u)
printf '%s\n' "$actual" | diff "$expected" - || { echo "exports of $lib differ from $expected (above)"; exit 1; }
echo "$lib exports exactly $(printf '%s\n' "$actual" | wc -l) names"
