# Sourced by the scripts: installs the Debian packages named as arguments that are missing (root only).
ensure_packages() {
  missing=""
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing="$missing $package"
  done
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages:$missing (run as root, or install them with apt-get)" >&2
    return 1
  fi
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  # shellcheck disable=SC2086
  apt-get install -y -q --no-install-recommends $missing >/dev/null
}

# What building the Linux library and running Java programs under it takes.
LINUX_BUILD_PACKAGES="cmake ninja-build g++ openjdk-17-jdk-headless zlib1g-dev"
# What the tests, the fuzz targets, the Windows cross-build and the benchmarks add; ASM reads class files
# independently of us in the class-file tests, and Boost's graph library computes dominators independently
# of us in the dominator tests and benchmark; Ant, JUnit 4 and Maven with its resources plugin are the
# tools that the build-monitoring probes watch in the JVM tests.
TEST_PACKAGES="libgtest-dev googletest libbenchmark-dev clang libclang-rt-14-dev g++-mingw-w64-x86-64-posix
  libz-mingw-w64-dev wine64 libasm-java libboost-graph-dev ant junit4 maven libmaven-resources-plugin-java"

# The JDK the agent is built and tested against.
use_jdk17() {
  if [ -d /usr/lib/jvm/java-17-openjdk-amd64 ]; then
    export JAVA_HOME=/usr/lib/jvm/java-17-openjdk-amd64
  fi
}
