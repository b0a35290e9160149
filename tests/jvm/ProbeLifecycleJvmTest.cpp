#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "agent/core/CallbackJar.h"
#include "tests/jvm/AgentRun.h"
#include "tests/support/JvmLauncher.h"
#include "tests/support/ZipFixture.h"

// Probes registered, unregistered and switched while the JVM runs (the program ProbeCalls drives the
// natives, the probes of tests/jvm/probes/dynamic print what they see): the loaded classes they match
// are retransformed with or without their callbacks, a refused retransformation applies nothing, and an
// attach applies the start-up probes to the classes loaded before it.

namespace {

const std::string probes = TALLYSCOPE_JVM_PROBES;

class ProbeLifecycleJvmTest : public AgentRunTest {
 protected:
  // The Java side on the boot class path, since "_agent_cp" names the probes' directory in its place.
  std::string javaSideOnBootPath() {
    const fs::path archive = fs::path(work.path()) / "java-side.jar";
    const YVector<unsigned char> jar = assembleCallbackJar();
    writeWhole(archive, std::string(reinterpret_cast<const char*>(jar.data), size_t(jar.size)));
    return "-Xbootclasspath/a:" + archive.string();
  }

  // The probes' classes in an archive: the JVM takes no directory on its boot class path after an attach.
  std::string probeArchive() {
    ZipFixture zip;
    for (const auto& entry : fs::recursive_directory_iterator(probes)) {
      if (entry.is_regular_file() && entry.path().extension() == ".class") {
        zip.add(fs::relative(entry.path(), probes).generic_string(), readWhole(entry.path()));
      }
    }
    const fs::path archive = fs::path(work.path()) / "probes.jar";
    writeWhole(archive, zip.bytes());
    return archive.string();
  }

  // ProbeCalls in `mode` with the probes' directory on the probe path and -Xverify:all.
  ProgramRun runWithProbePath(const std::string& mode, const std::vector<std::string>& jvmOptions = {}) {
    std::vector<std::string> options{"-Xverify:all", javaSideOnBootPath()};
    options.insert(options.end(), jvmOptions.begin(), jvmOptions.end());
    return runUnderAgent({"ProbeCalls", mode, probes}, "_agent_cp=" + probes + ",probe_disable=.*", options);
  }
};

TEST_F(ProbeLifecycleJvmTest, RegisteringAndUnregisteringRetransformsTheLoadedClassesTheProbesMatch) {
  const ProgramRun run = runWithProbePath("registration");
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_EQ(
      "work a\n"
      "byName: null\n"
      "TargetProbe saw b\nwork b\n"
      "on after unregister: false\n"
      "work c\n"
      "byBytecode\n"
      "byBytecode: null\n"
      "BytecodeProbe saw byBytecode\nbyBytecode\n"
      "other\n"
      "other: null\n"
      "OtherProbe saw other\nother\n"
      "TargetProbe saw d\nwork d\n"
      "switch: null\n"
      "unchanged: null\n"
      "square\nloose\n"
      "instances: null\n"
      "InstanceProbe saw describe\nsquare\nloose\n",
      run.output);
  EXPECT_TRUE(containsInOrder(
      logs(), {"Classes to retransform: 1 (registerByName)\n  ProbeTarget <<< dynamic.TargetProbe\n",
               "Class retransform completed (2)",
               "Classes to retransform: 1 (unregister)\n  ProbeTarget <<< dynamic.TargetProbe\n",
               "Class retransform completed (2)",
               "Unregistered probe classes: 1\n  Unregistered: dynamic.TargetProbe\n",
               "Classes to retransform: 1 (registerByBytecode)\n  ProbeTarget <<< dynamic.BytecodeProbe\n",
               // The first probe in registry order names the class.
               "Classes to retransform: 1 (registerByName)\n  ProbeTarget <<< dynamic.OtherProbe\n",
               // Only the probe class whose mode changed.
               "Probe classes to retransform: 1\n  dynamic.OtherProbe\n", "Probe classes retransform completed",
               "Changing probe activity modes: nothing has changed: \n  dynamic.TargetProbe\n  no.such.Probe\n",
               // The class tree answers that ShapeLoose is no ShapeBase.
               "Classes to retransform: 2 (registerByName)\n  ShapeBase <<< dynamic.InstanceProbe\n"
               "  ShapeSquare <<< dynamic.InstanceProbe\n"}));
}

// A probe's class keeps the callbacks of the mode it had when last transformed, stubs or not, while the
// probe is unregistered; registered again, it follows the mode it has then: On after Off, Auto as
// sampling started, and Auto as sampling stopped while it was away.
TEST_F(ProbeLifecycleJvmTest, AProbeRegisteredAgainFollowsItsModeOfNow) {
  const ProgramRun run = runWithProbePath("reregistration");
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_EQ("on: null\n"
            "TargetProbe saw on\nwork on\n"
            "work off\n"
            "on again: null\n"
            "TargetProbe saw again\nwork again\n"
            "work auto\n"
            "auto while sampling: null\n"
            "TargetProbe saw sampling\nwork sampling\n"
            "auto without sampling: null\n"
            "work quiet\n",
            run.output);
}

// The probe stays new while the JVM refuses: the next registration's pass retransforms its class again,
// and only then do its callbacks run.
TEST_F(ProbeLifecycleJvmTest, ARefusedRetransformationAppliesNoProbe) {
  const ProgramRun run = runWithProbePath("refused", {std::string("-javaagent:") + TALLYSCOPE_ROAD_AGENT_JAR});
  ASSERT_EQ(0, run.exitCode) << run.output;
  const std::string refusal =
      "Class retransform failed: registerByName 0 error=60:JVMTI_ERROR_INVALID_CLASS_FORMAT; not applied: "
      "dynamic.RefusedProbe";
  EXPECT_EQ("refused target\n"
            "refused: " + refusal + "\n"
            "refused target\n"
            "again: null\n"
            "RefusedProbe saw run\nrefused target\n",
            run.output);
  EXPECT_TRUE(containsInOrder(logs(), {"Classes to retransform: 1 (registerByName)\n  RefusedTarget <<< "
                                       "dynamic.RefusedProbe\n",
                                       refusal,
                                       "Classes to retransform: 1 (registerByName)\n  RefusedTarget <<< "
                                       "dynamic.RefusedProbe\n",
                                       "Class retransform completed (2)"}));
}

TEST_F(ProbeLifecycleJvmTest, AnAttachAppliesTheStartupProbesToTheClassesLoadedBefore) {
  const fs::path go = fs::path(work.path()) / "go";
  ChildProcess target({java, "-Xverify:all", javaSideOnBootPath(), "-cp", programs, "ProbeCalls", "attached",
                       go.string()},
                      nextOutputPath());
  while (target.output().find("waiting") == std::string::npos) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // jcmd reads an unquoted "key=value" argument as a named argument of its own.
  const std::string options =
      optionsWith("_agent_cp=" + probeArchive() + ",probe_on=dynamic.TargetProbe,probe_disable=.*");
  const ProgramRun attach =
      runProgram({TALLYSCOPE_JCMD, std::to_string(target.id()), "JVMTI.agent_load", library, "\"" + options + "\""},
                 nextOutputPath());
  EXPECT_NE(std::string::npos, attach.output.find("return code: 0")) << attach.output;
  writeWhole(go, "");
  ASSERT_EQ(0, target.wait()) << target.output();
  EXPECT_EQ("work before\nwaiting\nTargetProbe saw after\nwork after\n", target.output());
  EXPECT_TRUE(containsInOrder(logs(), {"on_attach: 4",
                                       "Classes to retransform: 1 (apply probes after attach)\n"
                                       "  ProbeTarget <<< dynamic.TargetProbe\n",
                                       "Class retransform completed (2)", "on_attach: 5"}));
}

// One run through the natives' table: the groups of a registration by bytecode, the refusals, the modes
// and the event tables recorded on their probes.
TEST_F(ProbeLifecycleJvmTest, TheProbeNativesAnswerAndRefuse) {
  const ProgramRun run = runUnderAgent({"ProbeCalls", "natives", probes}, "probe_disable=.*");
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_EQ("no names: null\n"
            "no probes: Error: no probes found in classes: dynamic.NoProbeSupport\n"
            "support defined: false\n"
            "unchecked tail: null\n"
            "probe defined: true\n"
            "duplicate: Error: probe class dynamic/BytecodeProbe: probe class with such name has already been "
            "registered\n"
            "define: Error: probe class dynamic/DefineSecond: DefineClass exception: java.lang.NoClassDefFoundError: "
            "dynamic/DefineBase\n"
            "first defined: true\n"
            "third defined: false\n"
            "on: [dynamic.BytecodeProbe]\n"
            "mode -1: java.lang.RuntimeException: unsupported probeActivityMode: -1\n"
            "on with slashes: true\n"
            "unknown on: false\n"
            "off: null\n"
            "mode 3: java.lang.RuntimeException: unsupported probeActivityMode: 3\n"
            "still off: [dynamic.BytecodeProbe]\n"
            "no modes: null\n"
            "auto: null\n"
            "auto probes: [dynamic.BytecodeProbe]\n"
            "auto on: false\n"
            "table id in range: true\n"
            "description: true\n"
            "description 31: null\n"
            "description 128: null\n"
            "on with table: [dynamic.TableOwner]\n"
            "sampling: null\n"
            "auto on while sampling: true\n"
            "call counting: null\n"
            "auto on while counting: false\n"
            "null pattern: methodPattern is null\n"
            "valid pattern: null\n"
            "invalid pattern: invalid pattern syntax, must be <class>:<method>(<params>)\n",
            run.output);
  const std::string log = logs();
  // Off, then Auto; sampling clears the Auto probe's table and retransforms its class as it starts and
  // as it stops.
  EXPECT_TRUE(containsInOrder(log, {"Probe classes to retransform: 1\n  dynamic.BytecodeProbe\n",
                                    "Probe classes to retransform: 1\n  dynamic.BytecodeProbe\n",
                                    "Events from Auto probes cleared:\n#", " Probe rows\n",
                                    "Probe classes to retransform: 1\n  dynamic.BytecodeProbe\n",
                                    "Probe classes to retransform: 1\n  dynamic.BytecodeProbe\n",
                                    "Unregistered probe classes: 0\n"}));
  // Of the registrations by bytecode, only the one whose tail is unchecked came as far as retransforming.
  const std::string pass = "Classes to retransform: 0 (registerByBytecode)\n";
  EXPECT_EQ(log.rfind(pass), log.find(pass));
  EXPECT_NE(std::string::npos, log.find(pass));
}

// Probes found in a probe path entry must load where they are woven: an entry the running JVM refuses
// on its class path (a directory) is not searched, so a registration from it finds no class and the
// program's methods stay as they were.
TEST_F(ProbeLifecycleJvmTest, AProbePathTheJvmRefusesIsNotSearched) {
  const ProgramRun run =
      runUnderAgent({"ProbeCalls", "probePath", probes, TALLYSCOPE_JVM_PROBE_ARCHIVE}, "probe_disable=.*");
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_EQ("from directory: Error: probe class dynamic.TargetProbe: class not found\n"
            "work a\n"
            "from archive: null\n"
            "TargetProbe saw b\nwork b\n",
            run.output);
  EXPECT_NE(std::string::npos, logs().find("Probe path not added: " + probes + ": ")) << logs();
}

}  // namespace
