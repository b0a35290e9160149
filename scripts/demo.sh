#!/bin/bash
# Builds the agent if needed and profiles the bundled demo program with it: java -agentpath:libtallyscope.so,
# with a snapshot written when the program ends. Installs the Debian packages it needs when they are missing.
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
cmake --build "$build" --target tallyscope snapshot_summary >/dev/null
"$javac" -d "$build/classes" "$root/demo/Demo.java"

output="$build/demo-output.txt"
logs="$build/log"
snapshots="$build/snapshots"
rm -rf "$logs" "$snapshots"
echo "profiling the demo with $build/libtallyscope.so"
"$java" -agentpath:"$build/libtallyscope.so=logdir=$logs,tmpdir=$build,sessionname=demo,onexit=snapshot,dir=$snapshots" \
  -cp "$build/classes" Demo "$@" 2>&1 | tee "$output"
echo "the demo's output: $output"
log=$(ls -t "$logs"/*.log | head -n 1)
echo "the agent's log: $log"
grep -E "Cannot start|Failed agentLoadImpl|error|JVMTI [0-9A-F]{8};|vmInit: OK|Snapshot on exit|vmDeath: OK" "$log" \
  | cut -d' ' -f3-
snapshot=$(ls -t "$snapshots"/*.snapshot 2>/dev/null | head -n 1 || true)
if [ -z "$snapshot" ]; then
  echo "no snapshot was written; the log says why"
  exit 1
fi
echo "the snapshot: $snapshot"
"$build/snapshot_summary" "$snapshot"
