#!/bin/bash
# What a call of an instrumented method costs under each recording mode, beside the same loop without
# the agent and beside the JVM's own way to trace calls: a small method called in a chain
# (bench/CallLoop.java, 10^8 timed calls) without an agent; under the agent with every mode off (the
# method instrumented, its calls reaching the Callback class's bodies of no mode); under CPU tracing
# with every call traced ("tracing" with the adaptive filter off), the same by the wall clock for every
# method ("walltime=*": otherwise a traced call reads the thread's CPU clock, a system call on Linux),
# and with the filter's defaults; under call counting with 8 and with 4 counter stripes ("_cf4"); and
# under a minimal JVMTI agent of our own that counts MethodEntry and MethodExit events
# (bench/MethodEventAgent.cpp). The JVM runs a thread with method events in its interpreter, so that run
# times fewer calls, 10^6, as do the runs with every call traced, 10^7; each figure is per call. The
# loop's caller is instrumented too, so an instrumented call also carries the line call before it. The
# configurations alternate in rotating order within each round, so that a change in the machine's load
# falls on all of them; the medians of the rounds are printed, by the thread's CPU time (which other
# processes disturb less) with the wall time beside it, each with the cost over the bare loop and the
# ratio to it. Goals: instrumented with every mode off at most 1 ns per call over the bare loop; CPU
# tracing at most 100 ns and call counting at most 5 ns per call over it; CPU tracing at least 20 times
# cheaper than the MethodEntry/MethodExit events.
#
# Called by scripts/bench.sh; runs on its own as well. The library and the JVMTI agent come from the
# release build in $TALLYSCOPE_BENCH_BUILD (default build/bench), configured and built here when needed.
# Rounds: $CALL_COST_ROUNDS (default 3); calls: $CALL_COST_CALLS (default 10^8), $CALL_COST_TRACED_CALLS
# (default 10^7) with every call traced and $CALL_COST_EVENT_CALLS (default 10^6) under the JVMTI agent.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/setup.sh"
. "$root/bench/rounds.sh"
bench_setup
rounds=${CALL_COST_ROUNDS:-3}
calls=${CALL_COST_CALLS:-100000000}
traced_calls=${CALL_COST_TRACED_CALLS:-10000000}
event_calls=${CALL_COST_EVENT_CALLS:-1000000}
bench_build tallyscope method_event_agent
library="$build/libtallyscope.so"
event_agent="$build/libmethod_event_agent.so"

bench_work_dir call-cost
classes="$work/classes"
"$java_home/bin/javac" -d "$classes" "$root/bench/CallLoop.java"
mkdir -p "$work/tmp" "$work/home" "$work/snapshots"
printf 'adaptive=false\n' >"$work/every-call.txt"
printf 'adaptive=false\nwalltime=*\n' >"$work/every-call-wall.txt"
# The agent's settings and its files stay in the work directory, not in the user's home.
export BRANTEL_HOME="$work/home"

configs=(none off tracing wall adaptive count8 count4 events)

# The JVM options and program arguments of a configuration, into `options` and `arguments`. Each
# configuration logs into a directory of its own; a recording mode makes the agent write a snapshot at
# exit, into the work directory.
options=()
arguments=()
set_options() {
  local agent_options="tmpdir=$work/tmp,logdir=$work/log/$1,dir=$work/snapshots"
  mkdir -p "$work/log/$1"
  arguments=("$calls")
  case "$1" in
    none) options=() ;;
    off) options=("-agentpath:$library=$agent_options") ;;
    tracing)
      options=("-agentpath:$library=tracing,tracing_settings_path=$work/every-call.txt,$agent_options")
      arguments=("$traced_calls") ;;
    wall)
      options=("-agentpath:$library=tracing,tracing_settings_path=$work/every-call-wall.txt,$agent_options")
      arguments=("$traced_calls") ;;
    adaptive) options=("-agentpath:$library=tracing,$agent_options") ;;
    count8) options=("-agentpath:$library=$agent_options"); arguments+=(count) ;;
    count4) options=("-agentpath:$library=_cf4,$agent_options"); arguments+=(count) ;;
    events) options=("-agentpath:$event_agent"); arguments=("$event_calls") ;;
  esac
}

# The CPU mode bits (0x100c) the agent's mode word must show after the calls of a configuration: 0xc
# for tracing, 0x1004 for call counting; none for the others.
expected_mode() {
  case "$1" in
    tracing | wall | adaptive) echo $((0xc)) ;;
    count8 | count4) echo $((0x1004)) ;;
    *) echo "" ;;
  esac
}

# Runs the loop in a configuration; prints the CPU and the wall ns per call, or "skipped <reason>" when
# the configuration's mode did not run.
run_loop() {
  set_options "$1"
  local output status mode
  output=$("$java" "${options[@]}" -cp "$classes" CallLoop "${arguments[@]}") || {
    echo "call_cost.sh: the loop failed in configuration $1:" >&2
    echo "$output" >&2
    return 1
  }
  mode=$(expected_mode "$1")
  if [ -n "$mode" ]; then
    status=$(echo "$output" | awk '$1 == "status" { print $2 }')
    if [[ ! "$status" =~ ^0x[0-9a-f]+$ ]] || [ $((status & 0x100c)) -ne "$mode" ]; then
      echo "skipped the mode did not run (mode word ${status:-missing}$(echo "$output" |
        awk '$1 == "start" { printf ", start answered: %s", substr($0, 7) }'))"
      return 0
    fi
  fi
  echo "$output" | awk -v config="$1" -v calls="${arguments[0]}" '
    { value[$1] = $2 }
    END {
      if (!("cpu_ns_per_call" in value)) { print "call_cost.sh: no figures in configuration " config > "/dev/stderr"; exit 1 }
      if (config == "events" && (value["method_entries"] + 0 < calls + 0 || value["method_exits"] + 0 < calls + 0)) {
        print "call_cost.sh: the JVMTI agent counted " value["method_entries"] " entries and " value["method_exits"] \
              " exits for " calls " calls" > "/dev/stderr"
        exit 1
      }
      print value["cpu_ns_per_call"], value["ns_per_call"]
    }'
}

# The agent must have instrumented the called method, or the run with every mode off times the bare loop.
mkdir -p "$work/log/check"
"$java" "-agentpath:$library=debug=bci,tmpdir=$work/tmp,logdir=$work/log/check" -cp "$classes" CallLoop 1000 >/dev/null
if ! grep -q "bci: applicable (.*CallLoop.*work" "$work"/log/check/*; then
  echo "call_cost.sh: the agent did not instrument CallLoop.work (log in $work/log/check)" >&2
  trap - EXIT
  exit 1
fi

for ((round = 0; round < rounds; round++)); do
  for config in $(rotate "$round" "${configs[@]}"); do run_loop "$config" >>"$work/loop-$config"; done
done

echo
echo "cost per call: a small method called $calls times in a chain ($traced_calls with every call traced, $event_calls"
echo "under the JVM's method events), median of $rounds alternated rounds (ns per call, by the calling thread's"
echo "CPU time and by the wall clock)"
# Each file holds one line per round: CPU ns and wall ns per call, or "skipped" and the reason.
summary() {
  local file="$work/loop-$1"
  if grep -q '^skipped' "$file"; then
    grep -m1 '^skipped' "$file"
  else
    echo "measured $(stats "$file" 1) $(stats "$file" 2)"
  fi
}
awk -v none="$(summary none)" -v off="$(summary off)" -v tracing="$(summary tracing)" -v by_wall="$(summary wall)" \
    -v adaptive="$(summary adaptive)" -v count8="$(summary count8)" -v count4="$(summary count4)" \
    -v events="$(summary events)" 'BEGIN {
  split("none off tracing wall adaptive count8 count4 events", order, " ")
  text["none"] = none; text["off"] = off; text["tracing"] = tracing; text["wall"] = by_wall; text["adaptive"] = adaptive
  text["count8"] = count8; text["count4"] = count4; text["events"] = events
  label["none"] = "no agent"
  label["off"] = "ours, instrumented, every mode off"
  label["tracing"] = "ours, CPU tracing, every call traced"
  label["wall"] = "ours, the same by the wall clock (walltime=*)"
  label["adaptive"] = "ours, CPU tracing, adaptive filter (defaults)"
  label["count8"] = "ours, call counting, 8 stripes"
  label["count4"] = "ours, call counting, 4 stripes (\"_cf4\")"
  label["events"] = "JVMTI MethodEntry/MethodExit (minimal agent)"
  for (k = 1; k <= 8; k++) {
    c = order[k]; n = split(text[c], f, " ")
    measured[c] = f[1] == "measured"
    if (measured[c]) { cpu[c] = f[2]; low[c] = f[3]; high[c] = f[4]; wall_ns[c] = f[5] }
    else { reason[c] = substr(text[c], 9) }
  }
  printf "  %-46s %9s  %-20s  %8s  %9s  %9s\n", "", "CPU", "(range)", "wall", "over bare", "ratio"
  for (k = 1; k <= 8; k++) {
    c = order[k]
    if (!measured[c]) { printf "  %-46s not measured: %s\n", label[c], reason[c]; continue }
    printf "  %-46s %9.2f  (%7.2f to %7.2f)  %8.2f", label[c], cpu[c], low[c], high[c], wall_ns[c]
    if (c != "none" && measured["none"]) printf "  %9.2f  %8.1fx", cpu[c] - cpu["none"], cpu[c] / cpu["none"]
    printf "\n"
  }
  if (!measured["none"]) exit
  printf "  goals (CPU ns per call over the bare loop):\n"
  goal("off", 1, "instrumented, every mode off: at most 1 ns")
  goal("tracing", 100, "CPU tracing, every call traced: at most 100 ns")
  goal("wall", 100, "the same by the wall clock: at most 100 ns")
  goal("count8", 5, "call counting, 8 stripes: at most 5 ns")
  goal("count4", 5, "call counting, 4 stripes: at most 5 ns")
  cheaper("tracing", "CPU tracing at least 20 times cheaper than method events")
  cheaper("wall", "the same by the wall clock")
  spread = (high["none"] - low["none"]) / cpu["none"] * 100
  printf "  (the rounds without an agent spread over %.1f%% of their median: differences below that can be the\n", spread
  printf "  load of the machine)\n"
}
function cheaper(c, what,   times) {
  if (!measured[c] || !measured["events"]) { printf "    %-58s not measured\n", what ":"; return }
  times = (cpu["events"] - cpu["none"]) / (cpu[c] - cpu["none"])
  printf "    %-58s %s (%.1f times)\n", what ":", (times >= 20) ? "met" : "missed", times
}
function goal(c, limit, what,   added) {
  if (!measured[c]) { printf "    %-58s not measured\n", what ":"; return }
  added = cpu[c] - cpu["none"]
  printf "    %-58s %s (%.2f ns)\n", what ":", (added <= limit) ? "met" : "missed", added
}'
