#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/jvm/AgentRun.h"
#include "tests/jvm/ExitRuns.h"

// Runs that leave, each of the three ways, while the agent works for another thread of the program over
// and over (tests/jvm/programs/WorkAtExit.java): retransforming classes, or writing memory snapshots.
// The runs that leave while CPU sampling, tracing, allocation or monitor recording runs are those of
// SamplingTest, TracingTest, AllocationTest and MonitorTest; scripts/exit-runs.sh runs these here and
// those of SamplingTest and TracingTest at full length.

namespace {

class ExitDuringRecordingTest : public AgentRunTest {
 protected:
  // The runs of WorkAtExit `activity` with the snapshot on exit. Its last argument is `argument`, or when
  // that is empty a directory of the run's own, removed after the run: it holds a memory snapshot.
  void expectCleanExits(const std::string& activity, const std::string& options,
                        const std::vector<std::string>& jvmOptions, const std::string& argument) {
    const int runsWanted = exitRunCount(6);
    constexpr int parallel = 4;
    const std::vector<std::string> failures = exitRunFailures(
        runsWanted, parallel,
        [&](int i, const fs::path& dir) {
          const fs::path scratch = fs::path(work.path()) / (activity + std::to_string(i));
          fs::create_directories(scratch);
          std::vector<std::string> command{java};
          command.insert(command.end(), jvmOptions.begin(), jvmOptions.end());
          const std::string snapshotOptions = "onexit=snapshot,dir=" + dir.string();
          command.push_back("-agentpath:" + library + "=" +
                            optionsWith(options.empty() ? snapshotOptions : options + "," + snapshotOptions));
          command.insert(command.end(), {"-cp", programs, "WorkAtExit", activity, leavingWay(i).name,
                                         argument.empty() ? scratch.string() : argument});
          const ProgramRun run = runProgram(command, (scratch.string() + ".txt"));
          fs::remove_all(scratch);
          return run;
        },
        snapshotDir());
    for (int i = 0; i < runsWanted; i++) EXPECT_EQ("", failures[size_t(i)]) << "run " << i;
    std::istringstream log(logs());
    for (std::string line; std::getline(log, line);) EXPECT_EQ(std::string::npos, line.find("error")) << line;
  }
};

// "_tracing_clt=1" makes every instrumented method a large one, whose class a start or stop of tracing
// retransforms: hundreds of classes each time.
TEST_F(ExitDuringRecordingTest, LeavingWhileClassesAreRetransformedEndsCleanlyEveryTime) {
  expectCleanExits("retransforming", "_tracing_clt=1", {}, TALLYSCOPE_JVM_PROBE_ARCHIVE);
}

// A small young generation collects often, so that the unreachable objects, which snapshots keep too, do
// not pile up between them.
TEST_F(ExitDuringRecordingTest, LeavingWhileMemorySnapshotsAreWrittenEndsCleanlyEveryTime) {
  expectCleanExits("capturing", "", {"-Xmx64m", "-Xmn8m"}, "");
}

}  // namespace
