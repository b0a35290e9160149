#!/bin/bash
# Builds everything and runs every test: the Linux build (unit, export and JVM tests), the unit tests again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the recording unit tests under ThreadSanitizer, short
# runs of the fuzz targets (clang's libFuzzer), and the Windows cross-build with its tests under wine64.
# Installs the Debian packages it needs when they are missing. Ends with the combined count.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/packages.sh"
# shellcheck disable=SC2086
ensure_packages $LINUX_BUILD_PACKAGES $TEST_PACKAGES || exit 1
use_jdk17

jobs=$(nproc)
export WINEPREFIX="$root/build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

passed=0 failed=0 broken="" recap=""
run_suite() { # name, build directory, configure arguments...
  local name=$1 dir=$2; shift 2
  echo "=== $name"
  if ! cmake -S "$root" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; broken="$broken $name(configure)"; return
  fi
  if ! cmake --build "$dir" -j "$jobs"; then broken="$broken $name(build)"; return; fi
  ctest --test-dir "$dir" -j "$jobs" --timeout 600 --output-on-failure | tee "$dir.ctest.log"
  local summary
  summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$dir.ctest.log" | tail -n 1)
  if [ -z "$summary" ]; then broken="$broken $name(ctest)"; return; fi
  local total fails
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  fails=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$summary")
  passed=$((passed + total - fails)); failed=$((failed + fails))
  # The failed tests and their assertion lines again, so that the end of a long log says what went wrong.
  if [ "$fails" != 0 ]; then
    recap+="--- $name: failed tests"$'\n'
    recap+=$(sed -n '/^The following tests FAILED:/,$p' "$dir.ctest.log" | grep -E '^\s+[0-9]+ - ')$'\n'
    recap+=$(grep -E -A4 '(: Failure$|^\[  FAILED  \]|ERROR: |Timeout|\*\*\*Exception)' "$dir.ctest.log" | head -n 60)$'\n'
  fi
}

mkdir -p "$root/build"
run_suite linux "$root/build/linux" -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite sanitizers "$root/build/sanitizers" -DCMAKE_BUILD_TYPE=Debug -DTALLYSCOPE_SANITIZE=ON
run_suite tsan "$root/build/tsan" -DCMAKE_BUILD_TYPE=Debug -DTALLYSCOPE_TSAN=ON
run_suite fuzz "$root/build/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLYSCOPE_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
wine64=/usr/lib/wine/wine64
[ -x "$wine64" ] && "$wine64" wineboot --init >/dev/null 2>&1
run_suite windows "$root/build/windows" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"

[ -n "$recap" ] && printf '%s' "$recap"
[ -n "$broken" ] && echo "could not run:$broken"
echo "total: $passed passed, $failed failed"
[ -z "$broken" ] && [ "$failed" = 0 ]
