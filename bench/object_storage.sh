#!/bin/bash
# How fast the monitoring host fills an object storage from Java: setGenerations and setRefs over 10^7
# objects, each beside the same loop into plain Java int[] columns (bench/ObjectStorageBench.java). The
# JVM loads the library with System.load, as the host does; no agent runs.
#
# Called by scripts/bench.sh; runs on its own as well. The library comes from the release build in
# $TALLYSCOPE_BENCH_BUILD (default build/bench), configured and built here when needed. Passes: $PASSES
# (default 5).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/setup.sh"
bench_setup
bench_build tallyscope

bench_work_dir object-storage
"$java_home/bin/javac" -d "$work/classes" "$root/bench/ObjectStorageBench.java" \
  "$root/tests/jvm/host/com/brantel/Natives.java"
# The library's log stays in the work directory, not in the user's home.
echo
BRANTEL_HOME="$work/home" "$java_home/bin/java" -Xmx3g -cp "$work/classes" ObjectStorageBench \
  "$build/libtallyscope.so" "${PASSES:-5}"
