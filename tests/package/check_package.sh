#!/usr/bin/env bash
# What users do with the library: install it into a temporary prefix, build the plain-C test
# against it through find_package and through pkg-config and run both; check that the installed
# irlib starts and its man page covers every command and option; build the .deb and check that it
# holds the same files and depends on what the binaries link.
# Usage: check_package.sh BUILD SOURCE CMAKE CPACK LIBDIR CC CONFIG VERSION
set -euo pipefail
build=$1 source=$2 cmake=$3 cpack=$4 libdir=$5 cc=$6 config=$7 version=$8
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
program=$source/tests/c_api_test.c
failed=0
fail() { echo "package: FAILED: $*"; failed=1; }
quiet() { "$@" > "$work/log" 2>&1 || { cat "$work/log"; return 1; }; }

config=$(printf '%s' "${config:-noconfig}" | tr '[:upper:]' '[:lower:]')
sed -e "s|@LIBDIR@|$libdir|" -e "s|@CONFIG@|$config|" "$source/tests/package/installed_files.txt" \
  | sort > "$work/expected"
compare_files() {  # what, actual list
  sort "$2" | diff "$work/expected" - > "$work/diff" || { fail "$1 differs (< missing, > extra):"; cat "$work/diff"; }
}

quiet "$cmake" --install "$build" --prefix "$prefix"
(cd "$prefix" && find . ! -type d | sed 's|^\./||') > "$work/installed"
compare_files "the install" "$work/installed"

# A CMake project that finds the installed package.
mkdir "$work/cmake-consumer"
cat > "$work/cmake-consumer/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(consumer C)
find_package(varnel32 1.0 CONFIG REQUIRED)
add_executable(consumer "$program")
target_link_libraries(consumer PRIVATE varnel32::varnel32)
CMAKE
quiet "$cmake" -S "$work/cmake-consumer" -B "$work/cmake-consumer/build" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" || fail "configuring the find_package consumer"
quiet "$cmake" --build "$work/cmake-consumer/build" || fail "building the find_package consumer"
found=$(sed -n 's/^varnel32_DIR:PATH=//p' "$work/cmake-consumer/build/CMakeCache.txt")
[ "$found" = "$prefix/$libdir/cmake/varnel32" ] || fail "find_package took $found"
"$work/cmake-consumer/build/consumer" "$work/cmake.vlib" || fail "the find_package consumer"

# A plain compiler line from pkg-config, and nothing but the temporary prefix to look in.
if command -v pkg-config > /dev/null; then
  export PKG_CONFIG_LIBDIR=$prefix/$libdir/pkgconfig
  [ "$(pkg-config --modversion varnel32)" = "$version" ] || fail "pkg-config version"
  # shellcheck disable=SC2046
  quiet "$cc" -o "$work/pc-consumer" "$program" $(pkg-config --cflags --libs varnel32) \
    -Wl,-rpath,"$(pkg-config --variable=libdir varnel32)" || fail "building the pkg-config consumer"
  "$work/pc-consumer" "$work/pc.vlib" || fail "the pkg-config consumer"
else
  echo "package: SKIPPED the pkg-config consumer (pkg-config missing; Debian: pkgconf)"
fi

# The installed tool finds its library, and the man page names every command and option.
if help=$("$prefix/bin/irlib" --help); then
  page=$(gzip -dc "$prefix/share/man/man1/irlib.1.gz")
  commands=$(printf '%s\n' "$help" | awk '/^[Cc]ommands/ {on = 1; next} on && /^  [a-z]/ {print $1}')
  [ -n "$commands" ] || fail "no commands in irlib --help"
  for c in $commands; do
    grep -qx "\.SS $c\b.*" <<< "$page" || fail "the man page has no section for '$c'"
    for o in $("$prefix/bin/irlib" "$c" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
      grep -q -- "${o//-/\\\\-}" <<< "$page" || fail "the man page does not mention $c $o"
    done
  done
else
  fail "the installed irlib does not run"
fi

# The .deb: the same files under /usr, and dependencies on the libraries the binaries need.
if command -v dpkg-deb > /dev/null && command -v dpkg-shlibdeps > /dev/null; then
  quiet "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" || fail "cpack"
  deb=$work/deb/varnel32_${version}_$(dpkg --print-architecture).deb
  [ -f "$deb" ] || fail "cpack made $(ls "$work/deb"), not $(basename "$deb")"
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./usr/||' > "$work/packaged"
  compare_files "the .deb" "$work/packaged"
  depends=$(dpkg-deb -f "$deb" Depends)
  for d in libc6 libstdc++6; do
    grep -q "\b$d\b" <<< "$depends" || fail "the .deb does not depend on $d: $depends"
  done
else
  echo "package: SKIPPED the .deb (dpkg-deb or dpkg-shlibdeps missing; Debian: dpkg-dev)"
fi

[ "$failed" -eq 0 ] && echo "package: install, both consumers, irlib, man page and .deb as expected"
exit "$failed"
