#!/bin/bash
# What a thrown-and-caught exception costs under exception recording, beside the same loop without the
# agent: an exception thrown eight frames down and caught at the top (bench/ExceptionLoop.java,
# $EXCEPTION_COST_COUNT timed exceptions after a warm-up round of as many, default 10^6) without an agent;
# under the agent with the exception events on and recording off ("exceptions=off"); and recording
# ("exceptions=on"). The configurations alternate in rotating order within each round; the medians of the
# rounds are printed in wall-clock ns per exception, each with the ratio to the bare loop.
#
# Called on its own or by scripts/bench.sh. The library comes from the release build in
# $TALLYSCOPE_BENCH_BUILD (default build/bench), configured and built here when needed. Rounds:
# $EXCEPTION_COST_ROUNDS (default 3).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/setup.sh"
. "$root/bench/rounds.sh"
bench_setup
rounds=${EXCEPTION_COST_ROUNDS:-3}
count=${EXCEPTION_COST_COUNT:-1000000}
bench_build tallyscope
library="$build/libtallyscope.so"

bench_work_dir exception-cost
classes="$work/classes"
"$java_home/bin/javac" -d "$classes" "$root/bench/ExceptionLoop.java"
mkdir -p "$work/tmp" "$work/home" "$work/snapshots"
export BRANTEL_HOME="$work/home"

configs=(none off on)

run_loop() {
  local agent="tmpdir=$work/tmp,logdir=$work/log/$1,dir=$work/snapshots"
  local -a options=()
  mkdir -p "$work/log/$1"
  case "$1" in
    off) options=("-agentpath:$library=exceptions=off,$agent") ;;
    on) options=("-agentpath:$library=exceptions=on,$agent") ;;
  esac
  local output
  output=$("$java" "${options[@]}" -cp "$classes" ExceptionLoop "$count" 2>&1) || {
    echo "exception_cost.sh: the loop failed in configuration $1:" >&2
    echo "$output" >&2
    return 1
  }
  echo "$output" | awk '$1 == "ns_per_exception" { print $2 }'
}

for ((round = 0; round < rounds; round++)); do
  for config in $(rotate "$round" "${configs[@]}"); do run_loop "$config" >>"$work/loop-$config"; done
done

echo
echo "cost per exception thrown eight frames down and caught, $count timed exceptions, median of $rounds"
echo "alternated rounds (wall-clock ns per exception)"
awk -v none="$(stats "$work/loop-none" 1)" -v off="$(stats "$work/loop-off" 1)" -v on="$(stats "$work/loop-on" 1)" 'BEGIN {
  text["none"] = none; text["off"] = off; text["on"] = on
  label["none"] = "no agent"
  label["off"] = "ours, exception events on, recording off"
  label["on"] = "ours, exception recording on"
  split("none off on", order, " ")
  printf "  %-44s %9s  %-22s  %8s\n", "", "ns", "(range)", "ratio"
  for (k = 1; k <= 3; k++) {
    c = order[k]; split(text[c], f, " "); median[c] = f[1]
    printf "  %-44s %9.1f  (%8.1f to %8.1f)", label[c], f[1], f[2], f[3]
    if (c != "none") printf "  %7.2fx", f[1] / median["none"]
    printf "\n"
  }
  printf "  recording on against recording off: %.2fx\n", median["on"] / median["off"]
}'
