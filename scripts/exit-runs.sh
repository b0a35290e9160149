#!/bin/bash
# The long form of the exit tests, whose short form runs with every test: programs that leave, by
# System.exit on the main thread or another one or by returning from main, while the agent samples
# (jvm.SamplingTest.ExitWhile*), traces (jvm.TracingTest.ExitWhile*), retransforms classes or writes memory
# snapshots (jvm.ExitDuringRecordingTest.*), TALLYSCOPE_EXIT_RUNS times each (100 by default). Each test
# runs its programs several at a time, and the tests run side by side. The build goes to
# $TALLYSCOPE_EXIT_BUILD (default build/exits).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/jvm-tests.sh"
build=${TALLYSCOPE_EXIT_BUILD:-$root/build/exits}
build_jvm_tests "$build"
export TALLYSCOPE_EXIT_RUNS=${TALLYSCOPE_EXIT_RUNS:-100}
ctest --test-dir "$build" -R '^jvm\.(SamplingTest\.ExitWhile|TracingTest\.ExitWhile|ExitDuringRecordingTest\.)' \
  -j 4 --timeout 3600 --output-on-failure
