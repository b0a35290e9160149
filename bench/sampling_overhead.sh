#!/bin/bash
# What CPU sampling costs a profiled JVM, beside the JDK's flight recorder: the throughput of a fixed
# 8-thread CPU-bound workload (bench/CpuWorkload.java) without an agent, under the agent recording nothing,
# under the agent sampling every 20 ms and under the flight recorder with its default settings, each overhead in percent of the run
# without an agent; then the wall time of a hello-world program from start to exit without the agent,
# with it, and with it sampling (a recording mode makes the agent write a snapshot at exit, which that
# time includes). The configurations alternate in rotating order within each round, so that a change in
# the machine's load falls on all of them, and the medians of the rounds are printed, with the range of
# the rounds beside them. As the throughput swings when other processes compete for the cores, where
# the time goes is printed too: the process's CPU time per operation, its CPU time beside the working
# threads (the agent's or the recorder's threads, and the JVM's VM thread at safepoints), and the JVM's
# safepoints, one per synchronous sampling cycle, whose time stops the working threads without showing
# in CPU time.
#
# Called by scripts/bench.sh; runs on its own as well. The library comes from the release build in
# $TALLYSCOPE_BENCH_BUILD (default build/bench), configured and built here when needed. Rounds:
# $SAMPLING_ROUNDS (default 5) of the workload, $STARTUP_ROUNDS (default 10) of the hello world.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/setup.sh"
. "$root/bench/rounds.sh"
bench_setup
rounds=${SAMPLING_ROUNDS:-5}
startup_rounds=${STARTUP_ROUNDS:-10}
bench_build tallyscope
library="$build/libtallyscope.so"

bench_work_dir sampling-overhead
classes="$work/classes"
"$java_home/bin/javac" -d "$classes" "$root/bench/CpuWorkload.java" "$root/bench/HelloWorld.java"
mkdir -p "$work/tmp" "$work/log" "$work/snapshots" "$work/home" "$work/jfr"
echo "sampling_period_ms=20" >"$work/sampling.txt"
# The agent's settings and its files stay in the work directory, not in the user's home.
export BRANTEL_HOME="$work/home"
agent_options="tmpdir=$work/tmp,logdir=$work/log,dir=$work/snapshots"
runs=0

# The JVM options of a configuration, into `options`: none, agent (no recording), sampling (the agent
# sampling every 20 ms) or jfr.
options=()
set_options() {
  runs=$((runs + 1))
  case "$1" in
    none) options=() ;;
    agent) options=("-agentpath:$library=$agent_options") ;;
    sampling) options=("-agentpath:$library=sampling,$agent_options,sampling_settings_path=$work/sampling.txt") ;;
    jfr) options=("-XX:StartFlightRecording=filename=$work/jfr/recording-$runs.jfr") ;;
  esac
}

# Runs the workload in a configuration; prints its operations per second, CPU ns per operation, the CPU
# ms of the process beside the working threads, the safepoints of the counted window, the ms they took
# and the ms of those until all threads had stopped (the export makes the safepoint figures readable).
run_workload() {
  set_options "$1"
  local output
  output=$("$java" --add-exports java.management/sun.management=ALL-UNNAMED "${options[@]}" -cp "$classes" CpuWorkload)
  echo "$output" | awk '{ value[$1] = $2 }
    END { if (!("ops_per_second" in value) || !("others_cpu_ms" in value) || value["safepoints"] < 0) exit 1
          print value["ops_per_second"], value["cpu_ns_per_op"], value["others_cpu_ms"], value["safepoints"],
                value["safepoint_ms"], value["safepoint_sync_ms"] }' || {
    echo "sampling_overhead.sh: the workload printed no figures in configuration $1:" >&2
    echo "$output" >&2
    return 1
  }
}

# Runs the hello world in a configuration; prints its wall time from start to exit in ms.
run_hello() {
  set_options "$1"
  local start end
  start=$EPOCHREALTIME
  "$java" "${options[@]}" -cp "$classes" HelloWorld >/dev/null
  end=$EPOCHREALTIME
  awk -v start="$start" -v end="$end" 'BEGIN { printf "%.1f\n", (end - start) * 1000 }'
}


for ((round = 0; round < rounds; round++)); do
  for config in $(rotate "$round" none agent sampling jfr); do run_workload "$config" >>"$work/workload-$config"; done
done
for ((round = 0; round < startup_rounds; round++)); do
  for config in $(rotate "$round" none agent sampling); do run_hello "$config" >>"$work/hello-$config"; done
done

# Every agent run must have sampled at 20 ms and every recorder run must have left its recording.
sampling_logs=$(grep -l "CPU sampling started: sampling_period_ms=20" "$work"/log/* | wc -l)
if [ "$sampling_logs" -ne $((rounds + startup_rounds)) ]; then
  echo "sampling_overhead.sh: $sampling_logs of $((rounds + startup_rounds)) sampling runs logged the start of" \
       "sampling at 20 ms (logs in $work/log)" >&2
  trap - EXIT
  exit 1
fi
recordings=$(find "$work/jfr" -name '*.jfr' -size +0 | wc -l)
if [ "$recordings" -ne "$rounds" ]; then
  echo "sampling_overhead.sh: $recordings of $rounds flight recorder runs left a recording" >&2
  exit 1
fi

echo
echo "CPU sampling overhead: 8 threads of CPU-bound work, 1 s warm-up then 3 s counted, median of $rounds" \
     "alternated rounds"
# The files hold one line per run: operations per second, CPU ns per operation, CPU ms beside the
# working threads, safepoints, the ms they took, and of those the ms until all threads had stopped.
awk -v window_ms=3000 -v workers=8 '
  function sorted_median(values, n,   i, j, t) {
    for (i = 2; i <= n; i++) for (j = i; j > 1 && values[j - 1] > values[j]; j--) {
      t = values[j]; values[j] = values[j - 1]; values[j - 1] = t
    }
    return n % 2 ? values[(n + 1) / 2] : (values[n / 2] + values[n / 2 + 1]) / 2
  }
  function median(config, column,   n, i, values) {
    n = runs[config]
    for (i = 1; i <= n; i++) values[i] = field[config, i, column]
    return sorted_median(values, n)
  }
  function extreme(config, column, sign,   i, best) {
    best = field[config, 1, column]
    for (i = 2; i <= runs[config]; i++) {
      if (sign * field[config, i, column] > sign * best) best = field[config, i, column]
    }
    return best
  }
  {
    config = FILENAME; sub(/.*workload-/, "", config)
    runs[config]++
    for (c = 1; c <= 6; c++) field[config, runs[config], c] = $c
  }
  END {
    split("none agent sampling jfr", order, " ")
    label["none"] = "no agent"; label["agent"] = "ours, no recording"
    label["sampling"] = "ours, sampling every 20 ms"
    label["jfr"] = "flight recorder, default settings"
    base = median("none", 1)
    printf "  %-34s %14s  %-25s %s\n", "", "ops per second", "(range of the rounds)", "overhead"
    for (k = 1; k <= 4; k++) {
      config = order[k]; ops = median(config, 1)
      overhead[config] = (base - ops) / base * 100
      printf "  %-34s %14.0f  (%10.0f to %10.0f)", label[config], ops, extreme(config, 1, -1), extreme(config, 1, 1)
      if (config != "none") printf "  %6.2f%%", overhead[config]
      printf "\n"
    }
    printf "  ours at most the flight recorder'"'"'s: %s; ours at most 1%%: %s\n",
           overhead["sampling"] <= overhead["jfr"] ? "yes" : "no", overhead["sampling"] <= 1 ? "yes" : "no"
    printf "  (of ours, %.2f%% comes with the agent itself, sampling adds %.2f%%)\n", overhead["agent"],
           overhead["sampling"] - overhead["agent"]
    spread = (extreme("none", 1, 1) - extreme("none", 1, -1)) / base * 100
    printf "  (the rounds without an agent spread over %.1f%% of their median:", spread
    printf " differences below that can be the load of the machine)\n"
    printf "  where the time goes, medians per window (%d threads, %.0f s of CPU at most):\n", workers,
           workers * window_ms / 1000
    printf "  %-34s %11s  %15s  %10s  %8s  %8s  %s\n", "", "CPU per op", "CPU beside them", "safepoints",
           "stopped", "reaching", "shares of the window: own CPU, stopped, reaching"
    base_others = median("none", 3)
    for (k = 1; k <= 4; k++) {
      config = order[k]; others = median(config, 3); stopped = median(config, 5); reaching = median(config, 6)
      printf "  %-34s %8.1f ns  %12.1f ms  %10.0f  %5.0f ms  %5.0f ms", label[config], median(config, 2), others,
             median(config, 4), stopped, reaching
      if (config != "none") {
        printf "  %.2f%%, %.2f%%, %.2f%%", (others - base_others) / (workers * window_ms) * 100,
               stopped / window_ms * 100, reaching / window_ms * 100
      }
      printf "\n"
    }
  }' "$work/workload-none" "$work/workload-agent" "$work/workload-sampling" "$work/workload-jfr"

echo
echo "start-up: a hello world from start to exit, median of $startup_rounds alternated runs (ms)"
awk -v none="$(stats "$work/hello-none" 1)" -v agent="$(stats "$work/hello-agent" 1)" \
    -v sampling="$(stats "$work/hello-sampling" 1)" 'BEGIN {
  split(none, n); split(agent, a); split(sampling, s)
  printf "  no agent                          %8.1f  (%.1f to %.1f)\n", n[1], n[2], n[3]
  printf "  agent                             %8.1f  (%.1f to %.1f)   added %.1f ms, goal at most 150 ms: %s\n",
         a[1], a[2], a[3], a[1] - n[1], a[1] - n[1] <= 150 ? "met" : "missed"
  printf "  agent sampling every 20 ms        %8.1f  (%.1f to %.1f)   added %.1f ms, goal at most 150 ms: %s\n",
         s[1], s[2], s[3], s[1] - n[1], s[1] - n[1] <= 150 ? "met" : "missed"
}'
