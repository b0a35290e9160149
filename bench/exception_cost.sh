#!/bin/bash
# What a thrown-and-caught exception costs under exception recording, beside the same loop without the
# agent and beside minimal JVMTI agents of our own: an exception thrown eight frames down and caught at
# the top (bench/ExceptionLoop.java: three seconds of warm-up, then $EXCEPTION_COST_COUNT timed
# exceptions, default 10^6, and $EXCEPTION_COST_EVENT_COUNT, default 10^5, wherever the exception events'
# capability is taken) without an agent; under bench/MethodEventAgent.cpp taking that capability and
# enabling no event ("exception_capability"), and enabling the Exception and ExceptionCatch events with
# handlers that only count ("exceptions"); under our agent without exception events
# ("exceptions=disable"), with them on and recording off ("exceptions=off"), and recording
# ("exceptions=on"). The JVM's own cost dominates: once the capability is taken, HotSpot deoptimises the
# compiled frame of every throw (Deoptimization::fetch_unroll_info leads a profile of the run with the
# capability alone), which makes an exception many times dearer before any event is enabled; enabling
# the events adds their posting. What our handlers cost is recording on over the empty handlers. The
# configurations alternate in rotating order within each round; the medians of the rounds are printed in
# wall-clock ns per exception, each with the ratio to the bare loop.
#
# Called on its own or by scripts/bench.sh. The library and the JVMTI agent come from the release build
# in $TALLYSCOPE_BENCH_BUILD (default build/bench), configured and built here when needed. Rounds:
# $EXCEPTION_COST_ROUNDS (default 3).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/setup.sh"
. "$root/bench/rounds.sh"
bench_setup
rounds=${EXCEPTION_COST_ROUNDS:-3}
count=${EXCEPTION_COST_COUNT:-1000000}
event_count=${EXCEPTION_COST_EVENT_COUNT:-100000}
bench_build tallyscope method_event_agent
library="$build/libtallyscope.so"
event_agent="$build/libmethod_event_agent.so"

bench_work_dir exception-cost
classes="$work/classes"
"$java_home/bin/javac" -d "$classes" "$root/bench/ExceptionLoop.java"
mkdir -p "$work/tmp" "$work/home" "$work/snapshots"
export BRANTEL_HOME="$work/home"

configs=(none capability events disable off on)

run_loop() {
  local agent="tmpdir=$work/tmp,logdir=$work/log/$1,dir=$work/snapshots"
  local -a options=()
  local timed=$event_count
  mkdir -p "$work/log/$1"
  case "$1" in
    none | disable) timed=$count ;;
  esac
  case "$1" in
    capability) options=("-agentpath:$event_agent=exception_capability") ;;
    events) options=("-agentpath:$event_agent=exceptions") ;;
    disable) options=("-agentpath:$library=exceptions=disable,$agent") ;;
    off) options=("-agentpath:$library=exceptions=off,$agent") ;;
    on) options=("-agentpath:$library=exceptions=on,$agent") ;;
  esac
  local output
  output=$("$java" "${options[@]}" -cp "$classes" ExceptionLoop "$timed" 2>&1) || {
    echo "exception_cost.sh: the loop failed in configuration $1:" >&2
    echo "$output" >&2
    return 1
  }
  # The reference must have had every exception of the warm-up and the timed round posted and caught, or,
  # with the capability alone, none.
  echo "$output" | awk -v config="$1" -v timed="$timed" '
    { value[$1] = $2 }
    END {
      if (!("ns_per_exception" in value)) { print "exception_cost.sh: no figure in configuration " config > "/dev/stderr"; exit 1 }
      want = config == "events" ? value["warmup_exceptions"] + timed : config == "capability" ? 0 : -1
      if (want >= 0 && (value["exceptions"] != want || value["exception_catches"] != want)) {
        print "exception_cost.sh: the JVMTI agent counted " value["exceptions"] " exceptions and " \
              value["exception_catches"] " catches in configuration " config ", not " want > "/dev/stderr"
        exit 1
      }
      print value["ns_per_exception"]
    }'
}

for ((round = 0; round < rounds; round++)); do
  for config in $(rotate "$round" "${configs[@]}"); do run_loop "$config" >>"$work/loop-$config"; done
done

echo
echo "cost per exception thrown eight frames down and caught, $count timed exceptions ($event_count where the"
echo "exception events' capability is taken), median of $rounds alternated rounds (wall-clock ns per exception)"
args=()
for c in "${configs[@]}"; do args+=(-v "$c=$(stats "$work/loop-$c" 1)"); done
awk "${args[@]}" 'BEGIN {
  n = split("none capability events disable off on", order, " ")
  text["none"] = none; text["capability"] = capability; text["events"] = events
  text["disable"] = disable; text["off"] = off; text["on"] = on
  label["none"] = "no agent"
  label["capability"] = "JVMTI, exception capability only"
  label["events"] = "JVMTI, exception events, empty handlers"
  label["disable"] = "ours, no exception events"
  label["off"] = "ours, exception events on, recording off"
  label["on"] = "ours, exception recording on"
  printf "  %-44s %9s  %-22s  %8s\n", "", "ns", "(range)", "ratio"
  for (k = 1; k <= n; k++) {
    c = order[k]; split(text[c], f, " "); median[c] = f[1]
    printf "  %-44s %9.1f  (%8.1f to %8.1f)", label[c], f[1], f[2], f[3]
    if (c != "none") printf "  %7.2fx", f[1] / median["none"]
    printf "\n"
  }
  printf "  recording on against the empty handlers: %.2fx (%+.1f ns per exception)\n",
         median["on"] / median["events"], median["on"] - median["events"]
  printf "  recording off against the empty handlers: %.2fx (%+.1f ns per exception)\n",
         median["off"] / median["events"], median["off"] - median["events"]
  printf "  recording on against recording off: %.2fx\n", median["on"] / median["off"]
}'
