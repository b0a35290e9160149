#!/bin/bash
# Long runs of the fuzz targets, outside the test run: each target runs the given number of inputs in
# total (default a million), split over parallel jobs (default 4), with the corpus and seeds its short
# test run uses. Prints per target the inputs run, the time and the failures, whose inputs stay in
# build/fuzz-long/<target>/ with the jobs' logs.
#   scripts/fuzz-long.sh [-r RUNS] [-j JOBS] [-b BUILD_DIR] [TARGET...]
# The build directory is configured like the test script's fuzz suite and built when needed.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=1000000 jobs=4 build="$root/build/fuzz"
while getopts "r:j:b:" option; do
  case $option in
    r) runs=$OPTARG ;;
    j) jobs=$OPTARG ;;
    b) build=$OPTARG ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
build=$(realpath -m "$build")

if [ ! -f "$build/CTestTestfile.cmake" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLYSCOPE_FUZZ=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null || exit 1
fi
cmake --build "$build" -j "$jobs" >/dev/null || exit 1

# Each target's short test gives its executable and inputs; its length option is replaced.
commands=$(ctest --test-dir "$build" -R '^fuzz\.' --show-only=json-v1 | python3 -c '
import json, sys
for test in json.load(sys.stdin)["tests"]:
    command = [a for a in test["command"] if not a.startswith(("-runs=", "-max_total_time="))]
    print(test["name"][len("fuzz."):], *command)')
[ $# -gt 0 ] || set -- $(cut -d" " -f1 <<<"$commands")

status=0
printf "%-22s %10s %8s %s\n" target inputs seconds failures
for target in "$@"; do
  read -r -a command <<<"$(grep "^$target " <<<"$commands" | cut -d" " -f2-)"
  if [ ${#command[@]} -eq 0 ]; then echo "no fuzz target $target"; status=1; continue; fi
  out="$build/fuzz-long/$target"
  rm -rf "$out" && mkdir -p "$out"
  start=$(date +%s)
  (cd "$out" && "${command[0]}" -jobs="$jobs" -workers="$jobs" -runs=$(((runs + jobs - 1) / jobs)) \
    -artifact_prefix="$out/" -print_final_stats=1 "${command[@]:1}" >/dev/null 2>&1)
  seconds=$(($(date +%s) - start))
  done_runs=$(cat "$out"/fuzz-*.log 2>/dev/null | sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' |
    awk '{ s += $1 } END { print s + 0 }')
  failures=$(find "$out" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
    -o -name 'oom-*' -o -name 'slow-unit-*' \) | wc -l)
  [ "$failures" -eq 0 ] && [ "$done_runs" -ge "$runs" ] || status=1
  printf "%-22s %10s %8s %s\n" "$target" "$done_runs" "$seconds" "$failures"
done
exit $status
