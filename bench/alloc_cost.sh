#!/bin/bash
# What an allocation of a small object costs under allocation recording, beside the same loop without the
# agent and beside the JDK flight recorder's allocation sampling: one small object made at one site in a
# tight loop (bench/AllocLoop.java, $ALLOC_COST_COUNT timed allocations, default 10^8) without an agent;
# under the agent with allocations instrumented (the heap sampling capability taken first by the test
# helper agent, so that the agent instruments) and recording off; recording with recordEach 1, 10 and
# 100; object counting; through the JVM's heap sampling with recordEach 10; and under the flight
# recorder's "profile" settings, whose jdk.ObjectAllocationSample event samples allocations. The
# configurations alternate in rotating order within each round; the medians of the rounds are printed
# by the allocating thread's CPU time with the wall time beside it, each with the ratio to the bare loop.
# Goal: recording with recordEach 10 costs no more than the flight recorder's allocation sampling.
#
# Called on its own or by scripts/bench.sh. The library and the helper agent come from the release build
# in $TALLYSCOPE_BENCH_BUILD (default build/bench), configured and built here when needed. Rounds:
# $ALLOC_COST_ROUNDS (default 3).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/setup.sh"
. "$root/bench/rounds.sh"
bench_setup
rounds=${ALLOC_COST_ROUNDS:-3}
count=${ALLOC_COST_COUNT:-100000000}
bench_build tallyscope allocation_helper
library="$build/libtallyscope.so"
helper="$build/liballocation_helper.so"

bench_work_dir alloc-cost
classes="$work/classes"
"$java_home/bin/javac" -d "$classes" "$root/bench/AllocLoop.java"
mkdir -p "$work/tmp" "$work/home" "$work/snapshots"
export BRANTEL_HOME="$work/home"

configs=(none off each1 each10 each100 counting sampling10 jfr)

options=()
arguments=()
set_options() {
  local agent="tmpdir=$work/tmp,logdir=$work/log/$1,dir=$work/snapshots"
  local hold="-agentpath:$helper=holdsampling"
  mkdir -p "$work/log/$1"
  arguments=("$count")
  case "$1" in
    none) options=() ;;
    off) options=("$hold" "-agentpath:$library=$agent") ;;
    each1) options=("$hold" "-agentpath:$library=alloceach=1,$agent") ;;
    each10) options=("$hold" "-agentpath:$library=alloceach=10,$agent") ;;
    each100) options=("$hold" "-agentpath:$library=alloceach=100,$agent") ;;
    counting) options=("$hold" "-agentpath:$library=$agent"); arguments+=(count) ;;
    sampling10) options=("-agentpath:$library=alloceach=10,$agent") ;;
    jfr) options=("-XX:StartFlightRecording=settings=profile,filename=$work/recording-$RANDOM.jfr") ;;
  esac
}

# The allocation bits (0x6002) the mode word must show: 2 when recording, 0x4002 when counting.
expected_mode() {
  case "$1" in
    each1 | each10 | each100 | sampling10) echo 2 ;;
    counting) echo $((0x4002)) ;;
    *) echo "" ;;
  esac
}

run_loop() {
  set_options "$1"
  local output status mode
  output=$("$java" "${options[@]}" -cp "$classes" AllocLoop "${arguments[@]}" 2>&1) || {
    echo "alloc_cost.sh: the loop failed in configuration $1:" >&2
    echo "$output" >&2
    return 1
  }
  mode=$(expected_mode "$1")
  if [ -n "$mode" ]; then
    status=$(echo "$output" | awk '$1 == "status" { print $2 }')
    if [[ ! "$status" =~ ^0x[0-9a-f]+$ ]] || [ $((status & 0x6002)) -ne "$mode" ]; then
      echo "skipped the mode did not run (mode word ${status:-missing})"
      return 0
    fi
  fi
  echo "$output" | awk '{ value[$1] = $2 } END { print value["cpu_ns_per_alloc"], value["ns_per_alloc"] }'
}

for ((round = 0; round < rounds; round++)); do
  for config in $(rotate "$round" "${configs[@]}"); do run_loop "$config" >>"$work/loop-$config"; done
done

summary() {
  local file="$work/loop-$1"
  if grep -q '^skipped' "$file"; then grep -m1 '^skipped' "$file"; else echo "measured $(stats "$file" 1) $(stats "$file" 2)"; fi
}
echo
echo "cost per allocation of a small object at one site, $count timed allocations, median of $rounds alternated"
echo "rounds (ns per allocation by the allocating thread's CPU time, the wall time beside it)"
args=()
for c in "${configs[@]}"; do args+=(-v "$c=$(summary "$c")"); done
awk "${args[@]}" 'BEGIN {
  n = split("none off each1 each10 each100 counting sampling10 jfr", order, " ")
  text["none"] = none; text["off"] = off; text["each1"] = each1; text["each10"] = each10; text["each100"] = each100
  text["counting"] = counting; text["sampling10"] = sampling10; text["jfr"] = jfr
  label["none"] = "no agent"
  label["off"] = "ours, instrumented, recording off"
  label["each1"] = "ours, recording, recordEach 1"
  label["each10"] = "ours, recording, recordEach 10"
  label["each100"] = "ours, recording, recordEach 100"
  label["counting"] = "ours, object counting"
  label["sampling10"] = "ours, heap sampling, recordEach 10"
  label["jfr"] = "flight recorder, jdk.ObjectAllocationSample"
  for (k = 1; k <= n; k++) {
    c = order[k]; split(text[c], f, " ")
    measured[c] = f[1] == "measured"
    if (measured[c]) { cpu[c] = f[2]; low[c] = f[3]; high[c] = f[4]; wall[c] = f[5] } else reason[c] = substr(text[c], 9)
  }
  printf "  %-46s %9s  %-20s  %8s  %8s\n", "", "CPU", "(range)", "wall", "ratio"
  for (k = 1; k <= n; k++) {
    c = order[k]
    if (!measured[c]) { printf "  %-46s not measured: %s\n", label[c], reason[c]; continue }
    printf "  %-46s %9.2f  (%7.2f to %7.2f)  %8.2f", label[c], cpu[c], low[c], high[c], wall[c]
    if (c != "none" && measured["none"]) printf "  %7.1fx", cpu[c] / cpu["none"]
    printf "\n"
  }
  if (measured["each10"] && measured["jfr"]) {
    printf "  goal: recordEach 10 costs no more than the flight recorder: %s (%.2f ns against %.2f ns, ratio %.2f)\n",
           cpu["each10"] <= cpu["jfr"] ? "met" : "missed", cpu["each10"], cpu["jfr"], cpu["each10"] / cpu["jfr"]
  }
}'
