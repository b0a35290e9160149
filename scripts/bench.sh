#!/bin/bash
# Builds the benchmarks in release mode and runs them: each of our containers beside the standard
# library's, which is its reference, the clocks that later sit on hot paths beside the raw system
# clock, and the class-file model's parse and write of the JDK's classes beside ASM's read and write of
# the same files, with the ratio of the two. Extra arguments go to Google Benchmark (e.g.
# --benchmark_filter=YMap); ASM runs only when the class-file benchmark did.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/packages.sh"
# shellcheck disable=SC2086
ensure_packages $LINUX_BUILD_PACKAGES $TEST_PACKAGES
use_jdk17
java_home=${JAVA_HOME:-$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")}
build="$root/build/bench"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target tallyscope_bench >/dev/null

# The JDK's classes, extracted once per image, and the ASM program that times them.
corpus="$build/class-corpus"
cmake -DJIMAGE="$java_home/bin/jimage" -DMODULES="$java_home/lib/modules" -DCORPUS="$corpus" \
      -P "$root/cmake/ClassCorpus.cmake"
asm_jar=/usr/share/java/asm.jar
"$java_home/bin/javac" -cp "$asm_jar" -d "$build/asm-bench" "$root/bench/AsmRoundTrip.java"

export TALLYSCOPE_CLASS_CORPUS="$corpus" BRANTEL_HOME="$build/bench-home"
results="$build/bench-results.json"
rm -f "$results"
"$build/tallyscope_bench" --benchmark_out="$results" --benchmark_out_format=json "$@"

# The median of our five passes, from Google Benchmark's JSON report.
ours=$(awk '/"name":/ { name = $0 }
            /"classes_per_second":/ && name ~ /ClassFileParseWrite.*_median"/ { gsub(/,/, "", $2); print $2 }' "$results")
[ -n "$ours" ] || exit 0
asm=$("$java_home/bin/java" -Xmx2g -cp "$asm_jar:$build/asm-bench" AsmRoundTrip "$corpus")
value() { echo "$asm" | awk -v key="$1" '$1 == key { print $2 }'; }
echo
echo "class files: parse and write, median of 5 passes over the JDK's classes (classes per second)"
awk -v ours="$ours" -v accept="$(value accept_per_second)" -v bytes="$(value accept_bytes_per_second)" \
    -v classes="$(value classes)" -v refused="$(value refused)" 'BEGIN {
  printf "  ours                                      %12.0f\n", ours
  printf "  ASM accept into ClassWriter               %12.0f   ours/ASM %.2f\n", accept, ours / accept
  printf "  ASM accept into ClassWriter, toByteArray  %12.0f   ours/ASM %.2f\n", bytes, ours / bytes
  printf "  (ASM over %d classes, %d refused)\n", classes, refused
}'
