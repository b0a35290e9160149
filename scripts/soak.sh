#!/bin/bash
# The long form of the soak tests (jvm.SoakTest.*, whose short form runs with every test): a JVM runs a mixed
# workload while a driver switches every recording, registers and switches probes and takes table replies
# and snapshots, once with the agent from the start and once after an attach, each for
# TALLYSCOPE_SOAK_SECONDS seconds (300 by default). TALLYSCOPE_SOAK_SEED fixes the driver's order of steps;
# each run prints its figures. The build goes to $TALLYSCOPE_SOAK_BUILD (default build/soak).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/jvm-tests.sh"
build=${TALLYSCOPE_SOAK_BUILD:-$root/build/soak}
build_jvm_tests "$build"
# The agent's home as the test run has it (cmake/Tests.cmake).
export BRANTEL_HOME="$build/test-home"
export TALLYSCOPE_SOAK_SECONDS=${TALLYSCOPE_SOAK_SECONDS:-300}
# The two runs one after the other: each JVM keeps several cores busy.
"$build/jvm_tests" --gtest_filter='SoakTest.*'
