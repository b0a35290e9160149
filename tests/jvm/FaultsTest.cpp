#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/jvm/AgentRun.h"
#include "tests/jvm/ProfileTables.h"
#include "tests/jvm/SmallDevice.h"
#include "tests/support/SnapshotReader.h"
#include "tests/support/TableReplyReader.h"
#include "tests/support/ZipFixture.h"

// Faults around the agent in a running program: a full device under a snapshot and under a reply that
// spills, a client that closes its socket in the middle of a reply, settings files that are directories,
// corrupt archives on the probe path.
// Each gives its error, loses nothing recorded before it, and the program goes on. The program
// tests/jvm/programs/Faults.java makes traced calls before and after a first reply and meets the fault
// before a second one.

namespace {

using profiletables::ProfileTables;

class FaultsTest : public AgentRunTest {
 protected:
  fs::path files() const { return fs::path(work.path()) / "files"; }

  void SetUp() override {
    AgentRunTest::SetUp();
    fs::create_directories(files());
  }

  std::vector<std::string> faultsCommand(const std::string& fault, const std::string& extra,
                                         const fs::path& temporary) const {
    std::vector<std::string> command{java};
    command.insert(command.end(), openSocketInternals.begin(), openSocketInternals.end());
    command.insert(command.end(), {"-agentpath:" + library + "=" + optionsWith("tracing," + extra, temporary), "-cp",
                                   programs, "Faults", fault, files().string()});
    return command;
  }

  // What the client knows after the reply before the fault and the one after it, which asked only for
  // what changed since the first: every traced call.
  void expectEveryCallInTheReplies() const {
    const tablereply::Reply before = tablereply::parseTableReply(readWhole(files() / "before.reply"));
    const tablereply::Reply after = tablereply::parseTableReply(readWhole(files() / "after.reply"));
    const ProfileTables tables({&before.tables, &after.tables});
    EXPECT_EQ(1500, tables.invocations(tables.threadNumber("main"), "Faults.traced"));
  }
};

TEST_F(FaultsTest, AFullDeviceFailsSnapshotsAndASpilledReplyWithTheirErrorAndLosesNothing) {
  const fs::path device = fs::path(work.path()) / "device";
  fs::create_directories(device);
  const std::string refusal = smallDeviceRefusal(device, nextOutputPath());
  if (!refusal.empty()) GTEST_SKIP() << refusal;
  // The agent's temporary directory is on the device: the Java side's archive goes there at the start,
  // and the replies spill there, every one of them with a buffer of 16 bytes.
  std::vector<std::string> command = onSmallDevice(device, 1024 * 1024);
  const std::vector<std::string> program = faultsCommand("fullDevice", "_request_buf_size=16", device);
  command.insert(command.end(), program.begin(), program.end());
  command.push_back(device.string());
  const ProgramRun run = runProgram(command, nextOutputPath());
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_EQ(programLines(run.output),
            (std::vector<std::string>{"device full: No space left on device",
                                      "performance snapshot on the full device: No space left on device exists=false",
                                      "memory snapshot on the full device: No space left on device exists=false",
                                      "reply on the full device: 0 bytes",
                                      "left on the device: bzp202106281002.jar filler", "device emptied: true",
                                      "snapshot: null", "done"}));
  const std::string log = logs();
  EXPECT_TRUE(containsInOrder(
      log, {"WSN: write error: No space left on device",
            "deleting broken snapshot file " + (device / "performance.snapshot").string() + " - OK",
            "WSN: write error: No space left on device",
            "deleting broken snapshot file " + (device / "memory.snapshot").string() + " - OK",
            "FileBackedSocketWriter: error: No space left on device"}));

  expectEveryCallInTheReplies();
  const snapshotfile::Snapshot snapshot = snapshotfile::readSnapshotFile((files() / "after.snapshot").string());
  std::vector<const profiletables::Tables*> records;
  for (const snapshotfile::TablesRecord& record : snapshot.tableRecords) records.push_back(&record.tables);
  const ProfileTables tables(records);
  EXPECT_EQ(1500, tables.invocations(tables.threadNumber("main"), "Faults.traced"));
}

// The reply is sent in one piece from its buffer, or read back from its spill file in pieces; either
// way the agent learns of the closed socket from the send, stops there and removes the spill file.
TEST_F(FaultsTest, AClientClosingItsSocketMidReplyEndsThatReplyAloneAndLosesNothing) {
  const struct {
    const char* name;
    const char* options;
    const char* error;
  } cases[] = {{"one piece", "", "error: y_send: send() failed: "},
               {"spilled", "_request_buf_size=4096", "FileBackedSocketWriter: error: reply not sent whole: "}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(logDir());
    fs::create_directories(logDir());
    const ProgramRun run = runProgram(faultsCommand("cutReply", c.options, tmpDir()), nextOutputPath());
    ASSERT_EQ(0, run.exitCode) << run.output;
    EXPECT_EQ(programLines(run.output), (std::vector<std::string>{"client read 64 bytes", "done"}));
    EXPECT_NE(std::string::npos, logs().find(c.error)) << logs();
    expectEveryCallInTheReplies();
    for (const auto& entry : fs::directory_iterator(tmpDir())) {
      EXPECT_EQ(std::string::npos, entry.path().filename().string().find("_request_buf")) << entry.path();
    }
  }
}

// Every settings file of the settings directory as a directory: each is reported when it is read, the
// built-in settings apply, and sampling and tracing run.
TEST_F(FaultsTest, SettingsFilesThatAreDirectoriesAreReportedAndTheBuiltInSettingsApply) {
  const fs::path settings = fs::path(work.path()) / "home" / ".tallyscope";
  const std::vector<std::string> names{"sampling.txt", "tracing.txt", "bci_filter.txt", "disable_natives.txt",
                                       "probe_ignored_prefixes.txt", "triggers.txt"};
  for (const std::string& name : names) fs::create_directories(settings / name);
  const ProgramRun run =
      runUnderAgent({"SamplingCalls", "control", "start:4", "stop:true", "start:12", "stop:true"}, "", {},
                    {"BRANTEL_HOME=" + (fs::path(work.path()) / "home").string()});
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_TRUE(containsInOrder(run.output, {"start:4 -> null", "stop:true -> -", "start:12 -> null", "stop:true -> -"}))
      << run.output;
  const std::string log = logs();
  for (const std::string& name : names) {
    EXPECT_NE(std::string::npos,
              log.find("error: settings file " + (settings / name).string() + " is a directory: ignored\n"))
        << name;
  }
  EXPECT_TRUE(containsInOrder(log, {"SamplingSettings: sampling_period_ms = 20 (default)\n", "CPU sampling started",
                                    "TracingSettings: a=1 ", " (default)\n", "CPU tracing started"}));
}

// Archives on the probe path that are no archive, end early, or hold a probe whose bytes are damaged:
// the registration from each fails with its error, the probe registered before goes on observing, and a
// probe of a sound archive added after them all is found, loaded through the class path that holds the
// corrupt ones, and woven.
TEST_F(FaultsTest, CorruptProbeArchivesFailTheirRegistrationAloneAndTheProgramGoesOn) {
  const fs::path probes = TALLYSCOPE_JVM_PROBES;
  auto archive = [&](const std::string& name, const std::string& bytes) {
    const fs::path path = files() / name;
    writeWhole(path, bytes);
    return path.string();
  };
  auto holding = [&](const std::string& probe, uint16_t method = 0) {
    ZipFixture zip;
    zip.add("dynamic/" + probe + ".class", readWhole(probes / "dynamic" / (probe + ".class")), method);
    return zip;
  };
  ZipFixture badCrc = holding("TargetProbe");
  badCrc.entries[0].crcXor = 1;
  ZipFixture brokenStream = holding("BytecodeProbe", 8);
  brokenStream.entries[0].writeDataAsIs = true;
  const std::string whole = holding("TargetProbe").bytes();
  const ProgramRun run = runUnderAgent(
      {"Faults", "corruptArchives", archive("other.jar", holding("OtherProbe").bytes()),
       archive("instance.jar", holding("InstanceProbe").bytes()), archive("garbage.jar", "no archive at all"),
       "dynamic.TargetProbe", archive("truncated.jar", whole.substr(0, whole.size() / 2)), "dynamic.TargetProbe",
       archive("crc.jar", badCrc.bytes()), "dynamic.TargetProbe", archive("deflate.jar", brokenStream.bytes()),
       "dynamic.BytecodeProbe"},
      "probe_disable=.*");
  ASSERT_EQ(0, run.exitCode) << run.output;
  const std::string unzipFailed = "Error: unzip failed: dynamic/";
  EXPECT_EQ(programLines(run.output),
            (std::vector<std::string>{
                "OtherProbe: null", "OtherProbe saw other", "other",
                "garbage.jar: Error: probe class dynamic.TargetProbe: class not found",
                "truncated.jar: Error: probe class dynamic.TargetProbe: class not found",
                "crc.jar: " + unzipFailed + "TargetProbe.class in " + (files() / "crc.jar").string(),
                "deflate.jar: " + unzipFailed + "BytecodeProbe.class in " + (files() / "deflate.jar").string(),
                "OtherProbe saw other", "other", "work unprobed", "InstanceProbe: null", "InstanceProbe saw describe",
                "square"}));
  // The JVM refuses what is no archive on its class path, and the agent then leaves it out of its search.
  EXPECT_TRUE(containsInOrder(logs(), {"Probe path not added: " + (files() / "garbage.jar").string() + ": ",
                                       "Probe path not added: " + (files() / "truncated.jar").string() + ": "}));
}

}  // namespace
