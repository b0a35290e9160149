#!/bin/bash
# What a contended monitor enter costs under monitor profiling: two threads hand one monitor to each
# other (bench/MonitorLoop.java), the holder leaving only once the other thread shows BLOCKED on it, so
# that every timed enter blocks and is one hand-off; without the agent, under the agent with monitor
# profiling off, and with it on ("monitors", checked by bit 0x80 of the mode word). $MONITOR_COST_COUNT
# timed enters per thread (default 200000), $MONITOR_COST_PROFILED_COUNT (default 5000) with profiling on,
# whose enters each cost the agent a JVMTI GetObjectMonitorUsage, a safepoint operation, for the owner.
# The configurations alternate in rotating order within each round; the medians of the rounds are printed
# as wall ns per enter, the fraction of enters the threads' blocked counts show, the ns per blocked enter
# and the ratio to the run without the agent.
#
# Called on its own or by scripts/bench.sh. The library comes from the release build in
# $TALLYSCOPE_BENCH_BUILD (default build/bench), configured and built here when needed. Rounds:
# $MONITOR_COST_ROUNDS (default 3).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/setup.sh"
. "$root/bench/rounds.sh"
bench_setup
rounds=${MONITOR_COST_ROUNDS:-3}
count=${MONITOR_COST_COUNT:-200000}
profiled_count=${MONITOR_COST_PROFILED_COUNT:-5000}
bench_build tallyscope
library="$build/libtallyscope.so"

bench_work_dir monitor-cost
classes="$work/classes"
"$java_home/bin/javac" -d "$classes" "$root/bench/MonitorLoop.java"
mkdir -p "$work/tmp" "$work/home" "$work/snapshots"
export BRANTEL_HOME="$work/home"

configs=(none off on)

options=()
arguments=()
set_options() {
  local agent="tmpdir=$work/tmp,logdir=$work/log/$1,dir=$work/snapshots"
  mkdir -p "$work/log/$1"
  arguments=("$count")
  case "$1" in
    none) options=() ;;
    off) options=("-agentpath:$library=$agent") ;;
    on) options=("-agentpath:$library=monitors,$agent"); arguments=("$profiled_count") ;;
  esac
}

run_loop() {
  set_options "$1"
  local output status
  output=$("$java" "${options[@]}" -cp "$classes" MonitorLoop "${arguments[@]}" 2>&1) || {
    echo "monitor_cost.sh: the loop failed in configuration $1:" >&2
    echo "$output" >&2
    return 1
  }
  if [ "$1" = on ]; then
    status=$(echo "$output" | awk '$1 == "status" { print $2 }')
    if [[ ! "$status" =~ ^0x[0-9a-f]+$ ]] || [ $((status & 0x80)) -eq 0 ]; then
      echo "skipped monitor profiling did not run (mode word ${status:-missing})"
      return 0
    fi
  fi
  echo "$output" | awk '{ value[$1] = $2 }
    END { print value["ns_per_enter"], value["blocked_fraction"], value["ns_per_blocked_enter"] }'
}

for ((round = 0; round < rounds; round++)); do
  for config in $(rotate "$round" "${configs[@]}"); do run_loop "$config" >>"$work/loop-$config"; done
done

summary() {
  local file="$work/loop-$1"
  if grep -q '^skipped' "$file"; then
    grep -m1 '^skipped' "$file"
  else
    echo "measured $(stats "$file" 1) $(stats "$file" 2) $(stats "$file" 3)"
  fi
}
echo
echo "cost per contended monitor enter, two threads handing one monitor to each other, $count timed enters"
echo "per thread ($profiled_count with profiling on), median of $rounds alternated rounds (wall ns per enter; the"
echo "fraction of enters that blocked by the threads' blocked counts, and the ns per blocked enter)"
awk -v none="$(summary none)" -v off="$(summary off)" -v on="$(summary on)" 'BEGIN {
  n = split("none off on", order, " ")
  text["none"] = none; text["off"] = off; text["on"] = on
  label["none"] = "no agent"
  label["off"] = "ours, monitor profiling off"
  label["on"] = "ours, monitor profiling on"
  for (k = 1; k <= n; k++) {
    c = order[k]; split(text[c], f, " ")
    measured[c] = f[1] == "measured"
    if (measured[c]) { ns[c] = f[2]; low[c] = f[3]; high[c] = f[4]; blocked[c] = f[5]; per_blocked[c] = f[8] }
    else reason[c] = substr(text[c], 9)
  }
  printf "  %-30s %10s  %-24s  %8s  %12s  %8s\n", "", "ns", "(range)", "blocked", "ns/blocked", "ratio"
  for (k = 1; k <= n; k++) {
    c = order[k]
    if (!measured[c]) { printf "  %-30s not measured: %s\n", label[c], reason[c]; continue }
    printf "  %-30s %10.1f  (%9.1f to %9.1f)  %8.4f  %12.1f", label[c], ns[c], low[c], high[c], blocked[c], per_blocked[c]
    if (c != "none" && measured["none"]) printf "  %7.2fx", ns[c] / ns["none"]
    printf "\n"
  }
  if (measured["on"] && measured["off"])
    printf "  monitor profiling adds %.1f ns per contended enter over profiling off\n", ns["on"] - ns["off"]
}'
