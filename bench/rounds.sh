# Sourced by the benchmark scripts: the helpers of runs that alternate their configurations.

# Column `column` of the file: the median, the minimum and the maximum.
stats() {
  awk -v column="$2" '{ print $column }' "$1" | sort -g | awk '{ v[NR] = $1 }
    END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; print m, v[1], v[NR] }'
}

# Each round runs the configurations once, starting one further along the list than the round before.
rotate() {
  local round=$1
  shift
  local -a configs=("$@")
  local i
  for ((i = 0; i < ${#configs[@]}; i++)); do echo "${configs[$(((round + i) % ${#configs[@]}))]}"; done
}
