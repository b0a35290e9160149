#!/bin/bash
# Builds the agent if needed and profiles the bundled demo program with it: java -agentpath:libtallyscope.so,
# sampling its CPU, with a snapshot written when the program ends; then prints where the CPU time went.
# Installs the Debian packages it needs when they are missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/packages.sh"
# shellcheck disable=SC2086
ensure_packages $LINUX_BUILD_PACKAGES
use_jdk17
java=${JAVA_HOME:+$JAVA_HOME/bin/}java
javac=${JAVA_HOME:+$JAVA_HOME/bin/}javac

build="$root/build/demo"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLYSCOPE_TESTS=OFF >/dev/null
cmake --build "$build" --target tallyscope snapshot_summary cpu_hot_paths >/dev/null
"$javac" -d "$build/classes" "$root/demo/Demo.java"

output="$build/demo-output.txt"
logs="$build/log"
snapshots="$build/snapshots"
rm -rf "$logs" "$snapshots"
options="logdir=$logs,tmpdir=$build,sessionname=demo,sampling,onexit=snapshot,dir=$snapshots"
echo "profiling the demo with $build/libtallyscope.so (sampling, snapshot on exit)"
"$java" -agentpath:"$build/libtallyscope.so=$options" -cp "$build/classes" Demo "$@" 2>&1 | tee "$output"
echo "the demo's output: $output"
log=$(ls -t "$logs"/*.log | head -n 1)
echo "the agent's log: $log"
milestones="vmInit: OK|starting sampling|Snapshot on exit|vmDeath: OK"
grep -E "Cannot start|Failed agentLoadImpl|error|JVMTI [0-9A-F]{8};|$milestones" "$log" \
  | cut -d' ' -f3- | sed 's/^\(Snapshot on exit written\): .*/\1/'
snapshot=$(ls -t "$snapshots"/*.snapshot 2>/dev/null | head -n 1 || true)
if [ -z "$snapshot" ]; then
  echo "no snapshot was written; the log says why"
  exit 1
fi
echo "the snapshot: $snapshot"
# Its tables' row counts on one line, the empty tables left out.
"$build/snapshot_summary" "$snapshot" | awk 'NR > 1 && $2 > 0 { line = line sep $1 " " $2; sep = ", " }
  END { print "rows: " line }'
"$build/cpu_hot_paths" "$snapshot"
