# Sourced by the benchmark scripts after they set `root`: what every benchmark stands on.

. "$root/scripts/packages.sh"

# The build packages (and any extra ones given) and JDK 17; sets java_home, java and build, the release
# build in $TALLYSCOPE_BENCH_BUILD (default build/bench).
bench_setup() {
  # shellcheck disable=SC2086
  ensure_packages $LINUX_BUILD_PACKAGES "$@"
  use_jdk17
  java_home=${JAVA_HOME:-$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")}
  java="$java_home/bin/java"
  build=${TALLYSCOPE_BENCH_BUILD:-$root/build/bench}
}

# Configures the release build when needed and builds the targets.
bench_build() {
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target "$@" >/dev/null
}

# A fresh work directory named after the benchmark, into `work`, removed at exit.
bench_work_dir() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
  trap 'rm -rf "$work"' EXIT
}
