#!/bin/bash
# What the class road costs a JVM: every class the JVM loads passes through the agent, which wraps the
# natives of the JDK and of the program and instruments the classes' methods for CPU tracing and
# allocation recording. Timed without the agent, under the agent with "disableall" (every class left as it
# is), with "disabletracing,disablealloc" (natives wrapped, no instrumentation) and under the agent's
# defaults (natives wrapped and methods instrumented): a hello world (bench/HelloStamp.java) from the
# JVM's start to the start of its main and to its exit, and javac compiling a fixed generated tree of 300
# classes (tests/jvm/programs/SourceTree.java), the class-loading work of a real program. The
# configurations alternate in rotating order within each round, so that a change in the machine's load
# falls on all of them; the medians of the rounds are printed with their range and the ms each
# configuration adds beside the run without the agent, and the road's own time over javac's classes as
# the agent counts it. Goal: at most 150 ms added to a hello world's start.
#
# Called by scripts/bench.sh; runs on its own as well. The library comes from the release build in
# $TALLYSCOPE_BENCH_BUILD (default build/bench), configured and built here when needed. Rounds:
# $STARTUP_ROUNDS (default 20) of the hello world, $JAVAC_ROUNDS (default 5) of javac.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/setup.sh"
. "$root/bench/rounds.sh"
bench_setup
javac="$java_home/bin/javac"
startup_rounds=${STARTUP_ROUNDS:-20}
javac_rounds=${JAVAC_ROUNDS:-5}
tree_classes=300
bench_build tallyscope
library="$build/libtallyscope.so"

bench_work_dir class-road
classes="$work/classes"
"$javac" -d "$classes" "$root/bench/HelloStamp.java" "$root/tests/jvm/programs/SourceTree.java"
"$java" -cp "$classes" SourceTree "$work/tree" "$tree_classes"
mkdir -p "$work/tmp" "$work/home"
# The agent's settings and its files stay in the work directory, not in the user's home.
export BRANTEL_HOME="$work/home"

# The JVM options of a configuration for a run of `kind` (hello or javac), into `options`: none,
# disableall, uninstrumented ("disabletracing,disablealloc") or defaults. Each kind and configuration logs
# into a directory of its own.
options=()
set_options() {
  local agent_options="tmpdir=$work/tmp,logdir=$work/log/$1-$2"
  mkdir -p "$work/log/$1-$2"
  case "$2" in
    none) options=() ;;
    disableall) options=("-agentpath:$library=disableall,$agent_options") ;;
    uninstrumented) options=("-agentpath:$library=disabletracing,disablealloc,$agent_options") ;;
    defaults) options=("-agentpath:$library=$agent_options") ;;
  esac
}

# Runs the hello world in a configuration; prints the ms from its start to its main and to its exit.
run_hello() {
  set_options hello "$1"
  local start end output
  start=$EPOCHREALTIME
  output=$("$java" "${options[@]}" -cp "$classes" HelloStamp)
  end=$EPOCHREALTIME
  echo "$output" | awk -v start="$start" -v end="$end" '$1 == "main_ms" { main = $2 }
    END { if (main == "") exit 1; printf "%.1f %.1f\n", main - start * 1000, (end - start) * 1000 }' || {
    echo "class_road.sh: the hello world printed no start of main in configuration $1:" >&2
    echo "$output" >&2
    return 1
  }
}

# Runs javac over the tree in a configuration; prints its wall time in ms.
run_javac() {
  set_options javac "$1"
  local start end
  local -a jvm_options=()
  local option
  for option in "${options[@]}"; do jvm_options+=("-J$option"); done
  rm -rf "$work/out"
  start=$EPOCHREALTIME
  "$javac" "${jvm_options[@]}" -d "$work/out" "@$work/tree/sources.txt" >"$work/javac-output.txt" 2>&1 || {
    echo "class_road.sh: javac failed in configuration $1:" >&2
    cat "$work/javac-output.txt" >&2
    return 1
  }
  end=$EPOCHREALTIME
  awk -v start="$start" -v end="$end" 'BEGIN { printf "%.1f\n", (end - start) * 1000 }'
}


configs=(none disableall uninstrumented defaults)
for ((round = 0; round < startup_rounds; round++)); do
  for config in $(rotate "$round" "${configs[@]}"); do run_hello "$config" >>"$work/hello-$config"; done
done
for ((round = 0; round < javac_rounds; round++)); do
  for config in $(rotate "$round" "${configs[@]}"); do run_javac "$config" >>"$work/javac-$config"; done
done

# Every javac run under the defaults must have taken its classes through the road, which counts them
# in its log every thousand classes.
road_logs=$( (grep -l "total classes: processed=" "$work"/log/javac-defaults/* || true) | wc -l)
if [ "$road_logs" -ne "$javac_rounds" ]; then
  echo "class_road.sh: $road_logs of $javac_rounds javac runs under the agent's defaults logged the road's" \
       "class totals (logs in $work/log)" >&2
  trap - EXIT
  exit 1
fi
# One more run under the defaults with the debug category "bci_times", whose totals line after every
# class gives the road's own time over all of javac's classes (outside the timed rounds: it logs a line
# per class).
mkdir -p "$work/log/javac-times"
"$javac" "-J-agentpath:$library=debug=bci_times,tmpdir=$work/tmp,logdir=$work/log/javac-times" -d "$work/out" \
  "@$work/tree/sources.txt" >"$work/javac-output.txt" 2>&1
road_totals=$(grep -h "total classes: processed=" "$work"/log/javac-times/* | tail -1 |
              sed 's/.*total classes: processed=/processed=/')

echo
echo "class road: a hello world from the JVM's start to its main and to its exit, median of $startup_rounds" \
     "alternated runs (ms)"
awk -v none_main="$(stats "$work/hello-none" 1)" -v none_exit="$(stats "$work/hello-none" 2)" \
    -v off_main="$(stats "$work/hello-disableall" 1)" -v off_exit="$(stats "$work/hello-disableall" 2)" \
    -v bare_main="$(stats "$work/hello-uninstrumented" 1)" -v bare_exit="$(stats "$work/hello-uninstrumented" 2)" \
    -v on_main="$(stats "$work/hello-defaults" 1)" -v on_exit="$(stats "$work/hello-defaults" 2)" 'BEGIN {
  split(none_main, nm); split(none_exit, ne); split(off_main, fm); split(off_exit, fe); split(bare_main, bm)
  split(bare_exit, be); split(on_main, om); split(on_exit, oe)
  printf "  %-44s %8s  %-18s  %9s   %8s  %-18s  %9s\n", "", "to main", "(range)", "added", "to exit", "(range)",
         "added"
  printf "  %-44s %8.1f  (%6.1f to %6.1f)  %9s   %8.1f  (%6.1f to %6.1f)\n", "no agent", nm[1], nm[2], nm[3], "",
         ne[1], ne[2], ne[3]
  printf "  %-44s %8.1f  (%6.1f to %6.1f)  %+9.1f   %8.1f  (%6.1f to %6.1f)  %+9.1f\n", "agent, \"disableall\"",
         fm[1], fm[2], fm[3], fm[1] - nm[1], fe[1], fe[2], fe[3], fe[1] - ne[1]
  printf "  %-44s %8.1f  (%6.1f to %6.1f)  %+9.1f   %8.1f  (%6.1f to %6.1f)  %+9.1f\n",
         "agent, \"disabletracing,disablealloc\"", bm[1], bm[2], bm[3], bm[1] - nm[1], be[1], be[2], be[3],
         be[1] - ne[1]
  printf "  %-44s %8.1f  (%6.1f to %6.1f)  %+9.1f   %8.1f  (%6.1f to %6.1f)  %+9.1f\n",
         "agent, defaults: with instrumentation", om[1], om[2], om[3], om[1] - nm[1], oe[1], oe[2], oe[3],
         oe[1] - ne[1]
  printf "  goal at most 150 ms added to the start, agent'"'"'s defaults: %s to main (%.1f ms), %s to exit (%.1f ms)\n",
         om[1] - nm[1] <= 150 ? "met" : "missed", om[1] - nm[1], oe[1] - ne[1] <= 150 ? "met" : "missed",
         oe[1] - ne[1]
  printf "  (of the defaults'"'"' %.1f ms to main, %.1f ms come with the agent itself, the wrapping of natives\n",
         om[1] - nm[1], fm[1] - nm[1]
  printf "  adds %.1f ms and the instrumentation %.1f ms)\n", bm[1] - fm[1], om[1] - bm[1]
}'

echo
echo "class road: javac compiling a generated tree of $tree_classes classes, median of $javac_rounds alternated" \
     "runs (ms)"
awk -v none="$(stats "$work/javac-none" 1)" -v off="$(stats "$work/javac-disableall" 1)" \
    -v bare="$(stats "$work/javac-uninstrumented" 1)" -v on="$(stats "$work/javac-defaults" 1)" 'BEGIN {
  split(none, n); split(off, f); split(bare, b); split(on, o)
  printf "  %-44s %8.1f  (%6.1f to %6.1f)\n", "no agent", n[1], n[2], n[3]
  printf "  %-44s %8.1f  (%6.1f to %6.1f)  added %+.1f ms (%+.1f%%)\n", "agent, \"disableall\"", f[1], f[2], f[3],
         f[1] - n[1], (f[1] - n[1]) / n[1] * 100
  printf "  %-44s %8.1f  (%6.1f to %6.1f)  added %+.1f ms (%+.1f%%)\n", "agent, \"disabletracing,disablealloc\"",
         b[1], b[2], b[3], b[1] - n[1], (b[1] - n[1]) / n[1] * 100
  printf "  %-44s %8.1f  (%6.1f to %6.1f)  added %+.1f ms (%+.1f%%)\n", "agent, defaults: with instrumentation",
         o[1], o[2], o[3], o[1] - n[1], (o[1] - n[1]) / n[1] * 100
  printf "  (the instrumentation'"'"'s own cost, defaults beside \"disabletracing,disablealloc\": %+.1f ms)\n",
         o[1] - b[1]
  spread = (n[3] - n[2]) / n[1] * 100
  printf "  (the runs without an agent spread over %.1f%% of their median:", spread
  printf " differences below that can be the load of the machine)\n"
}'
echo "  (the road's own time over javac's classes, in one more run under the defaults: $road_totals)"
