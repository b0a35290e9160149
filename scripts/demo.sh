#!/bin/bash
# Builds the agent and the snapshot tools if needed, then profiles the bundled demo program (demo/Demo.java)
# under java -agentpath:libtallyscope.so, once per recording, each started from the start-up options, and
# prints from each snapshot what a profiler user looks at first: the hot paths of CPU sampling, the exact
# call counts of CPU tracing, the allocation sites, the biggest objects of the heap by retained size (its
# dominators computed by the host's natives), the contended monitors and the exception sites. Arguments go
# to the demo (its number of rounds). Installs the Debian packages it needs when they are missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/packages.sh"
# shellcheck disable=SC2086
ensure_packages $LINUX_BUILD_PACKAGES
use_jdk17
java=${JAVA_HOME:+$JAVA_HOME/bin/}java
javac=${JAVA_HOME:+$JAVA_HOME/bin/}javac

build="$root/build/demo"
tools="snapshot_summary cpu_hot_paths call_tree allocation_sites heap_graph biggest_objects monitor_sites exception_sites"
echo "building the agent and the snapshot tools in $build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALLYSCOPE_TESTS=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" --target tallyscope $tools >/dev/null
"$javac" -d "$build/classes" "$root/demo/Demo.java"
# The host side: a program that loads the library as the monitoring host does and asks it for dominators.
"$javac" -d "$build/host-classes" "$root/tests/jvm/host/DominatorRequests.java" \
  "$root/tests/jvm/host/com/brantel/Natives.java"
library="$build/libtallyscope.so"
export BRANTEL_HOME="$build/home"  # where the host's use of the library logs

runs="$build/runs"
rm -rf "$runs"
first_output=""
# Runs the demo under the agent with the options of one recording; sets $snapshot to what it wrote.
profile() { # name, title, recording options, the demo's arguments
  local name=$1 title=$2 recording=$3
  shift 3
  local dir="$runs/$name"
  mkdir -p "$dir/log"
  echo
  echo "=== $title: -agentpath:libtallyscope.so=$recording"
  local options="logdir=$dir/log,tmpdir=$build,sessionname=demo-$name,dir=$dir,$recording"
  if ! "$java" -agentpath:"$library=$options" -cp "$build/classes" Demo "$@" >"$dir/output.txt" 2>&1; then
    cat "$dir/output.txt"
    echo "the demo failed; the agent's log: $dir/log"
    exit 1
  fi
  # The program's own output, once: the other runs must print the same.
  if [ -z "$first_output" ]; then
    first_output="$dir/output.txt"
    sed 's/^/  /' "$first_output"
  elif ! cmp -s "$first_output" "$dir/output.txt"; then
    echo "the demo's output differs under this recording:"
    diff "$first_output" "$dir/output.txt" || true
  fi
  grep -h -E "Cannot start|error" "$dir"/log/*.log | cut -d' ' -f3- || true
  snapshot=$(ls "$dir"/*.snapshot 2>/dev/null | head -n 1 || true)
  if [ -z "$snapshot" ]; then
    echo "no snapshot was written; the agent's log says why: $dir/log"
    exit 1
  fi
  # Its tables' row counts on one line, the empty tables left out.
  echo "snapshot: $snapshot ($(du -h "$snapshot" | cut -f1))"
  "$build/snapshot_summary" "$snapshot" | awk 'NR > 1 && $2 > 0 { line = line sep $1 " " $2; sep = ", " }
    END { print "rows: " line }'
  echo
}

profile sampling "CPU sampling: where the time goes" "sampling,onexit=snapshot" "$@"
"$build/cpu_hot_paths" "$snapshot"

profile tracing "CPU tracing: every call counted, per call path" "tracing,onexit=snapshot" "$@"
"$build/call_tree" "$snapshot"

# With allocation recording running, the snapshot on exit is a memory snapshot: the whole heap comes too.
profile allocations "Allocation recording: where objects are made, and the heap at the exit" "alloceach=1" "$@"
"$build/allocation_sites" "$snapshot"
echo
heap="$runs/allocations/heap"
mkdir -p "$heap"
"$build/heap_graph" "$snapshot" "$heap/heap.graph" | sed 's/^/memory snapshot /'
"$java" -cp "$build/host-classes" DominatorRequests "$library" "$heap" once "$heap/heap.graph" 2>&1 \
  | grep -v '^\[Brantel TallyScope' | sed 's/^heap: \(reached=[0-9]*\).*/dominators computed by the host natives: \1/'
"$build/biggest_objects" "$snapshot" "$heap/heap.idom" "$heap/heap.reached"

profile monitors "Monitor and exception recording: contended monitors, exception sites" \
  "monitors,exceptions=on,onexit=snapshot" "$@"
"$build/monitor_sites" "$snapshot"
echo
"$build/exception_sites" "$snapshot"

echo
echo "the runs, with each one's output, log and snapshot: $runs"
