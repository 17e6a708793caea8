#!/usr/bin/env bash
# The Windows checks of `make test`: cross-compiles varnel32.dll for 32-bit Windows and
# checks its export table and a linked program's import table, then builds the 64-bit DLL
# with the test suite of tests/ (GoogleTest compiled from Debian's googletest sources) and
# runs them under wine64. Installs the mingw-w64 compilers, wine64 and googletest when they
# are missing and this runs as root (as CI does); otherwise says what it skipped. Exits
# non-zero when any build or check fails.
# Build directories: $WIN32_BUILD (build-win32) and $WIN64_BUILD (build-win64).
set -euo pipefail
cd "$(dirname "$0")/.."
WIN32_BUILD=${WIN32_BUILD:-build-win32}
WIN64_BUILD=${WIN64_BUILD:-build-win64}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64

have_i686() { command -v i686-w64-mingw32-g++-posix >/dev/null; }
have_x86_64() { command -v x86_64-w64-mingw32-g++-posix >/dev/null; }
have_wine() { [ -x "$WINE" ]; }
have_gtest() { [ -f /usr/src/googletest/CMakeLists.txt ]; }

if ! have_i686 || ! have_x86_64 || ! have_wine || ! have_gtest; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "windows-test: installing the mingw-w64 compilers, wine64 and googletest"
    export DEBIAN_FRONTEND=noninteractive
    { apt-get update -qq && apt-get install -y -qq g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 \
        googletest >/dev/null; } || echo "windows-test: installing failed; skipping what needs the missing tools"
  fi
fi

configure_and_build() {  # build dir, toolchain file, targets (all when none)
  local dir=$1 toolchain=$2
  shift 2
  cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DVARNEL32_BUILD_TOOLS=OFF -DVARNEL32_BUILD_BENCH=OFF -DVARNEL32_BUILD_FUZZ=OFF \
    -DVARNEL32_BUILD_TESTS=ON -DVARNEL32_WERROR=ON >/dev/null
  if [ $# -gt 0 ]; then cmake --build "$dir" -j "$JOBS" --target "$@"; else cmake --build "$dir" -j "$JOBS"; fi
}

skipped=()
if ! have_gtest; then
  echo "windows-test: SKIPPED everything (no GoogleTest sources in /usr/src/googletest; run as root to install googletest)"
  exit 0
fi
if have_i686; then
  # Nothing runs the 32-bit programs here, so only what the table checks read is built.
  echo "windows-test: 32-bit varnel32.dll (export table, linked program's imports)"
  configure_and_build "$WIN32_BUILD" mingw-i686.cmake varnel32 varnel32_host varnel32_c_api_test
  (cd "$WIN32_BUILD" && ctest --output-on-failure)
  # Debian's wine32 has no candidate on this architecture; run the host where one exists.
  if [ -x /usr/lib/wine/wine ]; then
    echo "windows-test: running the 32-bit host program under 32-bit wine"
    (cd "$WIN32_BUILD" && WINEARCH=win32 WINEPREFIX="$PWD/wineprefix32" WINEDEBUG=-all \
      WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine ./varnel32_host.exe)
  else
    skipped+=("running the 32-bit host program (no 32-bit wine; the DLL's export table was checked instead)")
  fi
else
  skipped+=("the 32-bit DLL (i686-w64-mingw32-g++-posix missing; run as root to install g++-mingw-w64-i686)")
fi

if have_x86_64; then
  configure_and_build "$WIN64_BUILD" mingw-x86_64.cmake
  if have_wine; then
    export WINEPREFIX="$PWD/$WIN64_BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export HOME=${HOME:-$PWD/$WIN64_BUILD}
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "windows-test: creating the wine prefix $WINEPREFIX (once)"
      "$WINE" wineboot -i >/dev/null 2>&1 || true
      "$WINESERVER" -w
      [ -f "$WINEPREFIX/system.reg" ] || { echo "windows-test: wineboot failed" >&2; exit 1; }
    fi
    echo "windows-test: 64-bit DLL and the test suite under wine64"
    status=0
    (cd "$WIN64_BUILD" && ctest --output-on-failure) || status=$?
    "$WINESERVER" -k 2>/dev/null || true
    [ "$status" -eq 0 ] || exit "$status"
  else
    # Without wine64 the toolchain file sets no emulator and ctest has only the table checks.
    echo "windows-test: 64-bit DLL built; checking its tables only (no wine64)"
    (cd "$WIN64_BUILD" && ctest --output-on-failure)
    skipped+=("the test suite under wine64 (wine64 missing; run as root to install it)")
  fi
else
  skipped+=("the 64-bit DLL and the test suite under wine64 (x86_64-w64-mingw32-g++-posix missing)")
fi

for s in "${skipped[@]}"; do echo "windows-test: SKIPPED $s"; done
echo "windows-test: done"
