#!/bin/bash
# Dominator trees of large heap graphs: "snca" (in memory) and "low_mem" (temporary files) through the
# driver behind Natives.dc, beside Boost's Lengauer-Tarjan, all on the same input files: random graphs of
# 10^6 and 10^7 nodes (mean out-degree 4, 1000 roots) and two heap shapes of 10^7 nodes (a chain, and 9
# hubs of 10^6 references whose records share a pool of leaves). Per run: the computation's time, the
# time end to end (reading and writing the files included), nodes per second of the computation, and
# peak resident and virtual memory; every output is compared with "snca"'s byte for byte. Then the
# smallest address-space cap (prlimit --as) under which each completes: all three on 10^6 random nodes,
# "snca" and "low_mem" on 10^7 (a Boost run there takes minutes; its peak virtual size stands for it).
# With DOMINATOR_BENCH_HUGE=1 the run is a random graph of 10^8 nodes instead, for "snca" and "low_mem"
# alone (Boost would need some 120 GB there), without the caps: about 6 GB of memory, 6 GB of disk and a
# quarter of an hour.
#
# Runs on its own: the driver comes from the release build in $TALLYSCOPE_BENCH_BUILD (default
# build/bench), configured and built here when needed. Input, output and temporary files go to a
# directory under $TMPDIR (default /tmp), removed at the end. Every run is one process on one thread.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/setup.sh"
bench_setup libboost-graph-dev
bench_build dominator_bench
bench="$build/dominator_bench"

bench_work_dir dominators

# One run: prints the driver's figure line, "failed" when it did not complete. Boost's path compression
# recurses, so its runs get an unlimited stack; ours recurse nowhere.
run() { # algorithm, input, [address-space cap in bytes]
  local algorithm=$1 input=$2 cap=${3:-}
  local limit=() line
  [ -n "$cap" ] && limit=(prlimit --as="$cap" --)
  if line=$(
    [ "$algorithm" != boost ] || ulimit -s unlimited
    "${limit[@]}" "$bench" run "$algorithm" "$input" "$work/out-$algorithm.bin" "$work" 2>/dev/null
  ); then
    echo "$line"
  else
    echo "failed"
  fi
}

field() { sed -E "s/.*$2=([0-9.]+).*/\1/" <<<"$1"; }

# The smallest cap in MiB, to 1%, under which the run completes: between its peak resident size, below
# which it cannot, and a little above its peak virtual size.
smallest_cap() { # algorithm, input, figure line of an uncapped run
  local low high middle
  low=$(field "$3" peak_rss_mib | cut -d. -f1)
  high=$(($(field "$3" peak_vm_mib | cut -d. -f1) * 105 / 100 + 16))
  while [ "$(run "$1" "$2" $((high * 1048576)))" = failed ]; do high=$((high * 2)); done
  while [ $((high - low)) -gt $((high / 100 + 1)) ]; do
    middle=$(((low + high) / 2))
    if [ "$(run "$1" "$2" $((middle * 1048576)))" = failed ]; then low=$middle; else high=$middle; fi
  done
  echo "$high"
}

inputs=("random 1000000" "random 10000000" "chain 10000000" "hubs 10000000")
capped=("random 1000000" "random 10000000")
if [ "${DOMINATOR_BENCH_HUGE:-0}" = 1 ]; then
  inputs=("random 100000000")
  capped=()
fi

declare -A figures
echo
echo "dominators: one process per run, one thread; compute = the algorithm alone, total = file to file"
printf "  %-16s %-8s %9s %9s %12s %10s %10s  %s\n" input algorithm compute_s total_s nodes/s rss_MiB vm_MiB output
for spec in "${inputs[@]}"; do
  read -r shape nodes <<<"$spec"
  name="$shape-$nodes"
  input="$work/$name.bin"
  "$bench" generate "$shape" "$nodes" "$input"
  algorithms=(snca low_mem boost)
  [ "$nodes" -gt 10000000 ] && algorithms=(snca low_mem)
  for algorithm in "${algorithms[@]}"; do
    line=$(run "$algorithm" "$input")
    figures[$name/$algorithm]=$line
    if [ "$line" = failed ]; then
      printf "  %-16s %-8s failed\n" "$name" "$algorithm"
      continue
    fi
    if [ "$algorithm" = snca ]; then
      mv "$work/out-snca.bin" "$work/expected.bin"
      same="reference"
    else
      cmp -s "$work/expected.bin" "$work/out-$algorithm.bin" && same="identical to snca" || same="DIFFERS from snca"
    fi
    printf "  %-16s %-8s %9.2f %9.2f %12.0f %10.0f %10.0f  %s\n" "$name" "$algorithm" \
      "$(field "$line" compute_s)" "$(field "$line" total_s)" "$(field "$line" nodes_per_s)" \
      "$(field "$line" peak_rss_mib)" "$(field "$line" peak_vm_mib)" "$same"
  done
  # Boost's times and memory over ours, per line of ours.
  boost=${figures[$name/boost]:-failed}
  if [ "$boost" != failed ]; then
    for algorithm in snca low_mem; do
      ours=${figures[$name/$algorithm]}
      [ "$ours" = failed ] && continue
      awk -v name="$name" -v a="$algorithm" -v oc="$(field "$ours" compute_s)" -v ot="$(field "$ours" total_s)" \
          -v om="$(field "$ours" peak_rss_mib)" -v bc="$(field "$boost" compute_s)" \
          -v bt="$(field "$boost" total_s)" -v bm="$(field "$boost" peak_rss_mib)" 'BEGIN {
        printf "  %-16s %-8s boost/ours: compute %.2fx, total %.2fx; ours/boost peak memory %.3f\n",
               name, a, bc / oc, bt / ot, om / bm }'
    done
  fi
  rm -f "$input" "$work"/out-*.bin "$work/expected.bin"
done

[ ${#capped[@]} -eq 0 ] && exit 0
echo
echo "smallest address-space cap under which each completes (prlimit --as, to 1%), MiB"
for spec in "${capped[@]}"; do
  read -r shape nodes <<<"$spec"
  name="$shape-$nodes"
  input="$work/$name.bin"
  "$bench" generate "$shape" "$nodes" "$input"
  declare -A cap=()
  for algorithm in snca low_mem boost; do
    line=${figures[$name/$algorithm]:-failed}
    [ "$line" = failed ] && continue
    if [ "$algorithm" = boost ] && [ "$nodes" -ge 10000000 ]; then
      cap[$algorithm]="$(field "$line" peak_vm_mib | cut -d. -f1)"
      printf "  %-16s %-8s %8s   (its peak virtual size: not searched)\n" "$name" "$algorithm" "${cap[$algorithm]}"
      continue
    fi
    cap[$algorithm]=$(smallest_cap "$algorithm" "$input" "$line")
    printf "  %-16s %-8s %8s\n" "$name" "$algorithm" "${cap[$algorithm]}"
  done
  awk -v name="$name" -v l="${cap[low_mem]:-0}" -v s="${cap[snca]:-0}" -v b="${cap[boost]:-0}" 'BEGIN {
    if (l > 0 && s > 0) printf "  %-16s low_mem/snca cap %.2f (goal: at most 0.33)", name, l / s
    if (l > 0 && b > 0) printf ", low_mem/boost %.3f, snca/boost %.3f", l / b, s / b
    printf "\n" }'
  unset cap
  rm -f "$input" "$work"/out-*.bin
done
