#!/bin/bash
# Builds the benchmarks in release mode and runs them: each of our containers beside the standard
# library's, which is its reference, the clocks that later sit on hot paths beside the raw system
# clock, the frame tree's child lookups beside a std::unordered_map's, the capture of a thread's stack
# into its node tree beside the frame tree's capture under the lock (in a JVM of the benchmark's own),
# one cycle of CPU sampling over 10 to 1000 parked threads beside GetAllStackTraces of the same threads
# (in that JVM too), the class-file model's parse and write of the JDK's classes beside ASM's read and
# write of the same files, and their parse, instrumentation for CPU tracing and allocation recording and
# write beside ASM's AdviceAdapter adding an entry and an exit call to every method, with the ratios; last,
# what CPU sampling costs a JVM beside the JDK's flight recorder (bench/sampling_overhead.sh) and what the
# class road costs a JVM's start and javac (bench/class_road.sh), how fast the host's Java side fills
# an object storage beside plain Java arrays (bench/object_storage.sh), and what a call of an
# instrumented method costs under each recording mode beside the bare loop and the JVM's own method
# events (bench/call_cost.sh), and what an allocation costs under each allocation recording mode beside
# the bare loop and the flight recorder's allocation sampling (bench/alloc_cost.sh), and what a thrown and
# caught exception and a contended monitor enter cost under their recording beside the JVM's own cost of
# the events (bench/exception_cost.sh, bench/monitor_cost.sh), and what a memory snapshot of a 2 GB heap
# costs beside the JVM's own heap dump (bench/heap_snapshot.sh). Extra arguments go to Google Benchmark,
# in both executables (e.g. --benchmark_filter=YMap); ASM runs only when the class-file benchmark it
# stands beside did, and the eight scripts only without extra arguments (each runs on its own as well). The
# release build goes to $TALLYSCOPE_BENCH_BUILD (default build/bench).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/packages.sh"
# shellcheck disable=SC2086
ensure_packages $LINUX_BUILD_PACKAGES $TEST_PACKAGES
use_jdk17
java_home=${JAVA_HOME:-$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")}
build=${TALLYSCOPE_BENCH_BUILD:-$root/build/bench}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target tallyscope_bench tallyscope_jvm_bench tallyscope >/dev/null

# The JDK's classes, extracted once per image, and the ASM program that times them.
corpus="$build/class-corpus"
cmake -DJIMAGE="$java_home/bin/jimage" -DMODULES="$java_home/lib/modules" -DCORPUS="$corpus" \
      -P "$root/cmake/ClassCorpus.cmake"
asm_jar=/usr/share/java/asm.jar
# asm-commons' AdviceAdapter, with the tree and analysis packages it links against.
asm_commons_path="$asm_jar:/usr/share/java/asm-commons.jar:/usr/share/java/asm-tree.jar:/usr/share/java/asm-analysis.jar"
"$java_home/bin/javac" -cp "$asm_commons_path" -d "$build/asm-bench" "$root/bench/AsmRoundTrip.java" "$root/bench/AsmCorpus.java" \
  "$root/bench/AsmInstrument.java"

export TALLYSCOPE_CLASS_CORPUS="$corpus" BRANTEL_HOME="$build/bench-home"
results="$build/bench-results.json"
rm -f "$results"
"$build/tallyscope_bench" --benchmark_out="$results" --benchmark_out_format=json "$@"

# items_per_second of the first benchmark whose name matches the pattern, from a JSON report.
rate() {
  awk -v pattern="$2" '/"name":/ { name = $2 }
    /"items_per_second":/ && name ~ pattern { gsub(/,/, "", $2); print $2; exit }' "$1"
}

tree=$(rate "$results" '^"BM_FrameTreeChildLookup/')
tree_map=$(rate "$results" '^"BM_FrameTreeUnorderedMapLookup/')
if [ -n "$tree" ] && [ -n "$tree_map" ]; then
  echo
  echo "frame tree: child lookups on a warm tree of 10^6 frames, all hits, mean of 5 passes (lookups per second)"
  awk -v ours="$tree" -v map="$tree_map" 'BEGIN {
    printf "  getOrCreateChildFrame                     %12.0f   ours/map %.2f\n", ours, ours / map
    printf "  std::unordered_map of the same children   %12.0f\n", map
  }'
fi

# The stack captures run in a JVM made in the benchmark's process, on the Java thread whose stack they
# take.
jvm_results="$build/jvm-bench-results.json"
rm -f "$jvm_results"
"$build/tallyscope_jvm_bench" --benchmark_out="$jvm_results" --benchmark_out_format=json "$@"
for depth in 20 100; do
  capture=$(rate "$jvm_results" "^\"BM_CaptureStackFrame/$depth/.*_median\"")
  locked=$(rate "$jvm_results" "^\"BM_FrameOfStackInfoUnderLock/$depth/.*_median\"")
  floor=$(rate "$jvm_results" "^\"BM_GetStackTraceOnly/$depth/.*_median\"")
  if [ -z "$capture" ] || [ -z "$locked" ]; then continue; fi
  echo
  echo "stack capture, $depth frames: the calling thread's stack, median of 5 runs (stacks per second)"
  awk -v ours="$capture" -v locked="$locked" -v floor="${floor:-0}" 'BEGIN {
    printf "  captureStackFrame, warm caches            %12.0f   ours/reference %.2f\n", ours, ours / locked
    printf "  ourLock, GetStackTrace, getFrameOfStackInfo %10.0f\n", locked
    if (floor > 0) {
      printf "  GetStackTrace alone                       %12.0f\n", floor
      printf "  time above GetStackTrace per stack: ours %.0f ns, reference %.0f ns\n",
             1e9 / ours - 1e9 / floor, 1e9 / locked - 1e9 / floor
    }
  }'
done

# A sampling cycle per shape: items are thread samples, so a cycle takes threads / rate and a thread's
# share 1 / rate.
header=0
for threads in 10 100 1000; do
  for depth in 20 100; do
    cycle=$(rate "$jvm_results" "^\"BM_SamplingCycle/threads:$threads/depth:$depth/.*_median\"")
    floor=$(rate "$jvm_results" "^\"BM_GetAllStackTracesOnly/threads:$threads/depth:$depth/.*_median\"")
    if [ -z "$cycle" ] || [ -z "$floor" ]; then continue; fi
    if [ "$header" = 0 ]; then
      header=1
      echo
      echo "sampling cycle: the synchronous sampler's cycle under ourLock, charging CPU time, over parked threads,"
      echo "beside GetAllStackTraces of the same threads alone, median of 5 runs (time per cycle and per thread)"
      echo "  threads depth       ours  per thread   GetAllStackTraces  per thread   ours/floor  above floor per thread"
    fi
    awk -v threads="$threads" -v depth="$depth" -v ours="$cycle" -v floor="$floor" 'BEGIN {
      printf "  %7d %5d %7.0f us  %7.0f ns  %15.0f us  %7.0f ns  %11.2f  %19.0f ns\n", threads, depth,
             threads / ours * 1e6, 1e9 / ours, threads / floor * 1e6, 1e9 / floor, floor / ours,
             1e9 / ours - 1e9 / floor
    }'
  done
done

# The median of our five passes, from Google Benchmark's JSON report.
ours=$(awk '/"name":/ { name = $0 }
            /"classes_per_second":/ && name ~ /ClassFileParseWrite.*_median"/ { gsub(/,/, "", $2); print $2 }' \
       "$results")
if [ -n "$ours" ]; then
  asm=$("$java_home/bin/java" -Xmx2g -cp "$asm_jar:$build/asm-bench" AsmRoundTrip "$corpus")
  value() { echo "$asm" | awk -v key="$1" '$1 == key { print $2 }'; }
  echo
  echo "class files: parse and write, median of 5 passes over the JDK's classes (classes per second)"
  awk -v ours="$ours" -v accept="$(value accept_per_second)" -v bytes="$(value accept_bytes_per_second)" \
      -v classes="$(value classes)" -v refused="$(value refused)" 'BEGIN {
    printf "  ours                                      %12.0f\n", ours
    printf "  ASM accept into ClassWriter               %12.0f   ours/ASM %.2f\n", accept, ours / accept
    printf "  ASM accept into ClassWriter, toByteArray  %12.0f   ours/ASM %.2f\n", bytes, ours / bytes
    printf "  goal ours at least 2 times ASM'"'"'s accept: %s\n", (ours >= 2 * accept) ? "met" : "missed"
    printf "  (ASM over %d classes, %d refused)\n", classes, refused
  }'
fi

# The counter `key` of the median of the benchmark whose name matches the pattern, from a JSON report.
median_counter() {
  awk -v pattern="$2" -v key="\"$3\":" '/"name":/ { name = $0 }
    $1 == key && name ~ pattern && name ~ /_median"/ { gsub(/,/, "", $2); print $2; exit }' "$1"
}

ours=$(median_counter "$results" ClassFileInstrument classes_per_second)
if [ -n "$ours" ]; then
  asm=$("$java_home/bin/java" -Xmx2g -cp "$asm_commons_path:$build/asm-bench" AsmInstrument "$corpus")
  value() { echo "$asm" | awk -v key="$1" '$1 == key { print $2 }'; }
  echo
  echo "class files: parse, instrumentation for CPU tracing and allocation recording, and write, median of 5"
  echo "passes over the JDK's classes (classes per second)"
  awk -v ours="$ours" -v asm="$(value instrument_per_second)" -v shared="$(value instrument_shared_pool_per_second)" \
      -v classes="$(median_counter "$results" ClassFileInstrument classes)" \
      -v instrumented="$(median_counter "$results" ClassFileInstrument instrumented_classes)" \
      -v patched="$(median_counter "$results" ClassFileInstrument patched_methods)" \
      -v methods="$(median_counter "$results" ClassFileInstrument methods_with_code)" \
      -v too_long="$(median_counter "$results" ClassFileInstrument too_long_classes)" \
      -v asm_classes="$(value classes)" -v asm_refused="$(value refused)" -v asm_methods="$(value methods)" 'BEGIN {
    printf "  ours: parse, instrumentClass, write               %12.0f\n", ours
    printf "  ASM AdviceAdapter into ClassWriter(COMPUTE_MAXS)  %12.0f   ours/ASM %.2f\n", asm, ours / asm
    printf "  the same, the writer taking the reader'"'"'s pool     %12.0f   ours/ASM %.2f\n", shared, ours / shared
    printf "  goal ours at least 2 times ASM'"'"'s: %s\n", (ours >= 2 * asm) ? "met" : "missed"
    printf "  (ours over %d classes: %d of their %d methods with code patched, in %d classes, %d classes too long;\n",
           classes, patched, methods, instrumented, too_long
    printf "  short methods stay as they are; a patched method also gets a line call before each call and an\n"
    printf "  allocation call after each object or array creation, and its record is made in a fresh database)\n"
    printf "  (ASM over %d classes, %d refused, %d methods with code: an entry and an exit call each)\n",
           asm_classes, asm_refused, asm_methods
  }'
fi

# Whole JVMs under the agent and under the flight recorder, from the library built above.
if [ $# -eq 0 ]; then
  TALLYSCOPE_BENCH_BUILD="$build" "$root/bench/sampling_overhead.sh"
  TALLYSCOPE_BENCH_BUILD="$build" "$root/bench/class_road.sh"
  TALLYSCOPE_BENCH_BUILD="$build" "$root/bench/object_storage.sh"
  TALLYSCOPE_BENCH_BUILD="$build" "$root/bench/call_cost.sh"
  TALLYSCOPE_BENCH_BUILD="$build" "$root/bench/alloc_cost.sh"
  TALLYSCOPE_BENCH_BUILD="$build" "$root/bench/exception_cost.sh"
  TALLYSCOPE_BENCH_BUILD="$build" "$root/bench/monitor_cost.sh"
  TALLYSCOPE_BENCH_BUILD="$build" "$root/bench/heap_snapshot.sh"
fi
