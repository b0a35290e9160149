# Sourced by the scripts that run the long forms of JVM tests, after they set `root`: the packages, JDK 17
# and the JVM tests built (RelWithDebInfo, as in the test run) in the directory given.
. "$root/scripts/packages.sh"

build_jvm_tests() {
  # shellcheck disable=SC2086
  ensure_packages $LINUX_BUILD_PACKAGES $TEST_PACKAGES
  use_jdk17
  cmake -S "$root" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$1" --target jvm_tests >/dev/null
}
