#!/bin/bash
# What a memory snapshot of a large heap costs beside the JVM's own heap dump of the same heap: a parked
# heap of about 2 GB and 2*10^7 objects (bench/HeapSnapshotBench.java: records in a HashMap, long[] and
# byte[] arrays, Strings, a long linked list), then, in one JVM, the agent's memory snapshot and
# HotSpotDiagnosticMXBean.dumpHeap(path, live=false) of it, in both orders (ours first, then the JVM's;
# the JVM's first, then ours: one JVM run each), once with the field values filled through one view of
# the whole region and once in page mode (forced with "_region_limit_mb=1"). Per configuration: the pause
# (wall time of the call), MB/s (file size / pause), the file's size, the resident set before the call
# and its peak during the call (VmHWM, reset just before), with the ratio of our pause to the JVM's dump
# in the same run. The dump files are removed as soon as they are measured.
# Goal: our pause no longer than the JVM's heap dump (whole view, the default).
#
# Runs on its own. The library comes from the release build in $TALLYSCOPE_BENCH_BUILD (default
# build/bench), configured and built here when needed. Sizes: HEAP_SNAPSHOT_RECORDS (default 3000000),
# HEAP_SNAPSHOT_LIST (default 5000000), HEAP_SNAPSHOT_ARRAY_MB (default 1500); the JVM's heap:
# HEAP_SNAPSHOT_XMX (default 5g). Rounds: HEAP_SNAPSHOT_ROUNDS (default 1; each runs all four JVMs, in
# rotating order; medians of the rounds are printed).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/setup.sh"
. "$root/bench/rounds.sh"
bench_setup
rounds=${HEAP_SNAPSHOT_ROUNDS:-1}
heap=${HEAP_SNAPSHOT_XMX:-5g}
bench_build tallyscope
library="$build/libtallyscope.so"

bench_work_dir heap-snapshot
classes="$work/classes"
"$java_home/bin/javac" -d "$classes" "$root/bench/HeapSnapshotBench.java"
mkdir -p "$work/tmp" "$work/home" "$work/dumps"
export BRANTEL_HOME="$work/home"

modes=(whole page)
runs=("whole:ours,jvm" "whole:jvm,ours" "page:ours,jvm" "page:jvm,ours")

# One JVM: the heap built, then the steps of the order; each result line into the samples of its mode,
# order and step.
run_jvm() {
  local mode=${1%%:*} order=${1#*:}
  # The option string separates its options by commas: none in the log directory's name.
  local log="$work/log/$mode-${order/,/-}"
  local agent="tmpdir=$work/tmp,logdir=$log"
  [ "$mode" = page ] && agent+=",_region_limit_mb=1"
  rm -rf "$log"
  mkdir -p "$log"
  local output
  output=$("$java" "-Xms$heap" "-Xmx$heap" "-agentpath:$library=$agent" -cp "$classes" HeapSnapshotBench \
    "$work/dumps" "$order" 2>&1) || {
    echo "heap_snapshot.sh: the JVM failed in $mode mode, order $order:" >&2
    echo "$output" >&2
    return 1
  }
  if echo "$output" | grep -q '^failed'; then
    echo "heap_snapshot.sh: a dump failed in $mode mode, order $order:" >&2
    echo "$output" >&2
    return 1
  fi
  # The mode must have run as named: page mode maps pages, the whole view does not.
  local paged=0
  grep -q 'FileMemoryMapper: using pages' "$log"/*.log && paged=1
  if [ "$paged" -ne "$([ "$mode" = page ] && echo 1 || echo 0)" ]; then
    echo "heap_snapshot.sh: the snapshot in $mode mode (order $order) did not fill its values as named" >&2
    return 1
  fi
  if grep -q 'WSN: write error' "$log"/*.log; then
    echo "heap_snapshot.sh: our snapshot logged a write error in $mode mode, order $order:" >&2
    grep 'WSN: write error' "$log"/*.log >&2
    return 1
  fi
  echo "$output" | awk '$1 == "heap" { print $2, $3 }' >"$work/heap"
  echo "$output" | awk -v prefix="$work/sample-$mode-${order%%,*}" '$1 == "result" {
    print $3, $4, $5, $6 >> (prefix "-" $2) }'
}

for ((round = 0; round < rounds; round++)); do
  for run in $(rotate "$round" "${runs[@]}"); do run_jvm "$run"; done
done

# The medians of a sample file: pause ns, file bytes, RSS before KB, peak RSS KB.
medians() {
  local file=$1
  echo "$(stats "$file" 1 | cut -d' ' -f1) $(stats "$file" 2 | cut -d' ' -f1)" \
    "$(stats "$file" 3 | cut -d' ' -f1) $(stats "$file" 4 | cut -d' ' -f1)"
}

samples=""
for mode in "${modes[@]}"; do
  for first in ours jvm; do
    for step in ours jvm; do samples+="$mode-$first-$step=$(medians "$work/sample-$mode-$first-$step");"; done
  done
done
read -r objects bytes <"$work/heap"
echo
echo "memory snapshot against the JVM's heap dump (live=false) of a parked heap of $objects objects and" \
  "$((bytes >> 20)) MB built, -Xmx$heap; one JVM per mode and order, median of $rounds round(s)"
awk -v samples="$samples" 'BEGIN {
  n = split(samples, entries, ";")
  for (e = 1; e <= n; e++) if (split(entries[e], kv, "=") == 2) sample[kv[1]] = kv[2]
  label["whole"] = "ours, whole view"; label["page"] = "ours, page mode"
  label["jvm-whole"] = "JVM heap dump, beside whole view"; label["jvm-page"] = "JVM heap dump, beside page mode"
  order["ours"] = "ours first"; order["jvm"] = "JVM first"
  printf "  %-34s %-10s %9s %8s %9s %10s %9s %9s %8s\n", "", "order", "pause s", "MB/s", "file MB", "RSS MB",
         "peak MB", "growth MB", "ratio"
  n = split("whole page", modes, " ")
  for (m = 1; m <= n; m++) {
    mode = modes[m]
    for (s = 1; s <= 2; s++) {
      step = s == 1 ? "ours" : "jvm"
      name = step == "ours" ? label[mode] : label["jvm-" mode]
      for (f = 1; f <= 2; f++) {
        first = f == 1 ? "ours" : "jvm"
        split(sample[mode "-" first "-" step], v, " ")
        pause = v[1] / 1e9; mb = v[2] / 1048576
        printf "  %-34s %-10s %9.2f %8.0f %9.0f %10.0f %9.0f %9.0f", name, order[first], pause, mb / pause, mb,
               v[3] / 1024, v[4] / 1024, (v[4] - v[3]) / 1024
        if (step == "ours") {
          split(sample[mode "-" first "-jvm"], j, " ")
          printf " %7.2fx", v[1] / j[1]
          ours[mode] += v[1] / 2; jvm[mode] += j[1] / 2
        }
        printf "\n"
      }
    }
  }
  printf "  mean of both orders: whole view %.2f s against the JVM'"'"'s %.2f s (ratio %.2f); page mode %.2f s against %.2f s" \
         " (ratio %.2f); whole view against page mode %.2f\n", ours["whole"] / 1e9, jvm["whole"] / 1e9,
         ours["whole"] / jvm["whole"], ours["page"] / 1e9, jvm["page"] / 1e9, ours["page"] / jvm["page"],
         ours["whole"] / ours["page"]
  printf "  goal: our pause no longer than the JVM'"'"'s heap dump: %s (whole view %.2f s against %.2f s, ratio %.2f)\n",
         ours["whole"] <= jvm["whole"] ? "met" : "missed", ours["whole"] / 1e9, jvm["whole"] / 1e9,
         ours["whole"] / jvm["whole"]
}'
