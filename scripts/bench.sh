#!/bin/bash
# Builds the benchmarks in release mode and runs them: each of our containers beside the standard
# library's, which is its reference, and the clocks that later sit on hot paths beside the raw system
# clock. Extra arguments go to Google Benchmark (e.g. --benchmark_filter=YMap).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/packages.sh"
# shellcheck disable=SC2086
ensure_packages $LINUX_BUILD_PACKAGES $TEST_PACKAGES
use_jdk17
build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target tallyscope_bench >/dev/null
"$build/tallyscope_bench" "$@"
