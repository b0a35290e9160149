#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/instrumentation/ClassInstrumenter.h"
#include "tests/jvm/AgentRun.h"
#include "tests/support/TestDatabase.h"

// Every class the JVM loads passes through the agent: JDK natives wrapped from the primordial phase on, a
// program's own natives, classes redefined after wrapping, and whole programs under the verifier whose
// output must not change.

namespace {

// What the class road does to a native method, seen by reflection: its line with the natives wrapped
// (the agent's defaults) and with "disableall".
struct NativeCase {
  const char* method;  // "Class#name", as ClassRoad takes it
  const char* wrapped;
  const char* plain;
};

const std::vector<NativeCase> nativeCases{
    // On Java 9 and later only sleep of java/lang/Thread is wrapped, while the JVM is primordial.
    {"java.lang.Thread#sleep", "java.lang.Thread#sleep(long) java", "java.lang.Thread#sleep(long) native"},
    {"java.lang.Thread#$$BZP$$sleep", "java.lang.Thread#$$BZP$$sleep(long) native",
     "java.lang.Thread#$$BZP$$sleep absent"},
    {"java.lang.Thread#yield", "java.lang.Thread#yield() native", "java.lang.Thread#yield() native"},
    {"java.lang.Thread#currentThread", "java.lang.Thread#currentThread() native",
     "java.lang.Thread#currentThread() native"},
    // Every other class loaded while the JVM is primordial stays as it is, and a retransformation cannot add
    // the marked methods later: the natives that the rules would wrap in java/lang/Object and
    // java/lang/System stay native.
    {"java.lang.Object#wait", "java.lang.Object#wait(long) native", "java.lang.Object#wait(long) native"},
    {"java.lang.Object#$$BZP$$wait", "java.lang.Object#$$BZP$$wait absent", "java.lang.Object#$$BZP$$wait absent"},
    {"java.lang.System#arraycopy", "java.lang.System#arraycopy(java.lang.Object,int,java.lang.Object,int,int) native",
     "java.lang.System#arraycopy(java.lang.Object,int,java.lang.Object,int,int) native"},
    {"java.lang.System#currentTimeMillis", "java.lang.System#currentTimeMillis() native",
     "java.lang.System#currentTimeMillis() native"},
    // A JDK class loaded in the live phase: its plain native is wrapped, its intrinsic candidates are not.
    {"java.util.zip.Adler32#update", "java.util.zip.Adler32#update(int,int) java",
     "java.util.zip.Adler32#update(int,int) native"},
    {"java.util.zip.Adler32#$$BZP$$update", "java.util.zip.Adler32#$$BZP$$update(int,int) native",
     "java.util.zip.Adler32#$$BZP$$update absent"},
    {"java.util.zip.Adler32#updateBytes", "java.util.zip.Adler32#updateBytes(int,byte[],int,int) native",
     "java.util.zip.Adler32#updateBytes(int,byte[],int,int) native"},
    // Classes under the built-in disabled prefixes keep their natives.
    {"java.lang.ClassLoader#findLoadedClass0", "java.lang.ClassLoader#findLoadedClass0(java.lang.String) native",
     "java.lang.ClassLoader#findLoadedClass0(java.lang.String) native"},
    {"java.lang.Double#doubleToRawLongBits", "java.lang.Double#doubleToRawLongBits(double) native",
     "java.lang.Double#doubleToRawLongBits(double) native"},
    // The program's own native, which no library implements.
    {"ClassRoad$Unbound#compute", "ClassRoad$Unbound#compute(int) java", "ClassRoad$Unbound#compute(int) native"},
    {"ClassRoad$Unbound#$$BZP$$compute", "ClassRoad$Unbound#$$BZP$$compute(int) native",
     "ClassRoad$Unbound#$$BZP$$compute absent"},
};

// The number of "$$BZP$$" methods of each class: with the natives wrapped, and with "disableall" (none).
const std::vector<std::pair<std::string, int>> wrappedCounts{
    {"java.lang.Thread", 1}, {"java.lang.Object", 0},      {"java.lang.System", 0}, {"java.util.zip.Adler32", 1},
    {"java.lang.Double", 0}, {"java.lang.ClassLoader", 0}, {"ClassRoad$Unbound", 1}};

// The lines that show the natives still behave, in the order ClassRoad prints them; "slept ms: " and
// "waited ms: " are followed by the time.
const std::vector<std::string> behaviour{
    "slept ms: ", "sleep interrupted\n", "waited ms: ",
    "wait without the monitor: java.lang.IllegalMonitorStateException\n", "arraycopy: [2, 3, 4]\n",
    "arraycopy out of bounds: java.lang.ArrayIndexOutOfBoundsException\n", "adler32: 359531485 359531485\n",
    "currentTimeMillis near the clock: true\n", "UnsatisfiedLinkError: '"};

// The number printed after `label` at the start of a line.
long numberAfter(const std::string& text, const std::string& label) {
  const size_t at = text.find("\n" + label);
  if (at == std::string::npos) return -1;
  return std::strtol(text.c_str() + at + 1 + label.size(), nullptr, 10);
}

// The lines of the text that start with "  at ", in order.
std::vector<std::string> frames(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("  at ", 0) == 0) lines.push_back(line.substr(5));
  }
  return lines;
}

// The largest count of processed classes in the agent's "total classes: processed=" lines; -1 without one.
// A figure of the last totals line the road logged ("total classes: processed=3000 instrumented=2710
// 812ms"), -1 without one.
long lastTotal(const std::string& log, const std::string& figure) {
  const size_t line = log.rfind("total classes: processed=");
  if (line == std::string::npos) return -1;
  const size_t at = log.find(figure + "=", line);
  return at == std::string::npos ? -1 : std::strtol(log.c_str() + at + figure.size() + 1, nullptr, 10);
}

long processedClasses(const std::string& log) { return lastTotal(log, "processed"); }

// Most classes hold a method worth instrumenting; the interfaces and the classes of short methods alone
// do not.
void expectMostClassesInstrumented(const std::string& log) {
  EXPECT_GT(lastTotal(log, "instrumented"), processedClasses(log) / 2) << log.substr(log.rfind("total classes"), 200);
}

// The regular files under `root`, relative to it, sorted.
std::vector<std::string> filesUnder(const fs::path& root) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), root).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

// The lines of an -Xlog:class+load file, one per class loaded.
long loadedClasses(const fs::path& logFile) {
  const std::string text = readWhole(logFile);
  long count = 0;
  for (size_t at = text.find(" source: "); at != std::string::npos; at = text.find(" source: ", at + 1)) count++;
  return count;
}

// Instruments every class file under `from` for tracing and allocation recording into the same place
// under `to`, as the class road would; answers how many changed.
int instrumentClassFiles(const fs::path& from, const fs::path& to) {
  TestDatabase database;
  YCriticalSectionLock held(&ourLock(), "Test:1");
  int changed = 0;
  for (const std::string& file : filesUnder(from)) {
    const std::string original = readWhole(from / file);
    YVector<uint8_t> input;
    input.addRange(reinterpret_cast<const uint8_t*>(original.data()), int32_t(original.size()));
    DataInput in(input);
    ClassFile classFile(in);
    bool tooLong = false;
    std::string bytes = original;
    if (!classFile.isParseFailed() && instrumentClass(classFile, tooLong, true, true)) {
      YVector<uint8_t> output;
      DataOutput out(output);
      classFile.write(out);
      bytes.assign(reinterpret_cast<const char*>(output.data), size_t(output.size));
      changed++;
    }
    fs::create_directories((to / file).parent_path());
    std::ofstream(to / file, std::ios::binary) << bytes;
  }
  return changed;
}

class ClassRoadTest : public AgentRunTest {
 protected:
  const std::string javac = (fs::path(java).parent_path() / "javac").string();
  const std::vector<std::string> verifyAll{"-Xverify:all"};

  // ClassRoad in `mode` over every method of the table.
  ProgramRun runClassRoad(const std::string& mode, const std::string& extra,
                          const std::vector<std::string>& jvmOptions) {
    std::vector<std::string> arguments{"ClassRoad", mode};
    for (const NativeCase& c : nativeCases) arguments.push_back(c.method);
    return runUnderAgent(arguments, extra, jvmOptions);
  }

  // The table's lines, the counts of wrapped methods and the natives' behaviour in ClassRoad's output.
  void expectNatives(const ProgramRun& run, bool wrapped) {
    ASSERT_EQ(0, run.exitCode) << run.output;
    std::vector<std::string> lines;
    for (const NativeCase& c : nativeCases) lines.push_back(wrapped ? c.wrapped : c.plain);
    for (const auto& [type, count] : wrappedCounts) {
      lines.push_back(type + " wrapped: " + std::to_string(wrapped ? count : 0));
    }
    std::string missing;
    for (const std::string& line : lines) {
      if (run.output.find(line + "\n") == std::string::npos) missing += "  " + line + "\n";
    }
    EXPECT_TRUE(missing.empty()) << "missing:\n" << missing << "in:\n" << run.output;
    EXPECT_TRUE(containsInOrder(run.output, behaviour));
    // A sleep lasts at least its time; a timed wait may wake early, but not at once. The upper bounds
    // only keep one that never ends from passing.
    const long slept = numberAfter(run.output, "slept ms: ");
    EXPECT_GE(slept, 50) << run.output;
    EXPECT_LT(slept, 20000) << run.output;
    const long waited = numberAfter(run.output, "waited ms: ");
    EXPECT_GE(waited, 20) << run.output;
    EXPECT_LT(waited, 20000) << run.output;
    // Through the wrapper the JVM fails to bind the marked native, under the Java method of the original
    // name.
    const std::vector<std::string> wrappedFrames{"ClassRoad$Unbound.$$BZP$$compute", "ClassRoad$Unbound.compute",
                                                 "ClassRoad.exercise", "ClassRoad.main"};
    const std::vector<std::string> plainFrames{"ClassRoad$Unbound.compute", "ClassRoad.exercise", "ClassRoad.main"};
    EXPECT_EQ(wrapped ? wrappedFrames : plainFrames, frames(run.output)) << run.output;
    const std::string failed = std::string("UnsatisfiedLinkError: 'int ClassRoad$Unbound.") +
                               (wrapped ? "$$BZP$$compute" : "compute") + "(int)'\n";
    EXPECT_NE(std::string::npos, run.output.find(failed)) << run.output;
    for (const char* fault : {"VerifyError", "ClassFormatError"}) {
      EXPECT_EQ(std::string::npos, run.output.find(fault)) << run.output;
    }
  }

  // No error in the agent's log, and no class that the road had to leave as it was.
  void expectCleanLog() {
    const std::string log = logs();
    for (const char* fault : {"error", "VerifyError", "ClassFormatError", "retransform early class failed",
                              "happened while processing", "invalid class", "too long", "too big"}) {
      EXPECT_EQ(std::string::npos, log.find(fault)) << fault << " in the log:\n" << log;
    }
  }

  // A tree of `classes` generated sources; gives the file javac reads their paths from.
  std::string generateTree(const fs::path& root, int classes) {
    const ProgramRun run =
        runProgram({java, "-cp", programs, "SourceTree", root.string(), std::to_string(classes)}, nextOutputPath());
    if (run.exitCode != 0) throw std::runtime_error("SourceTree failed:\n" + run.output);
    return "@" + (root / "sources.txt").string();
  }

  // javac's command: `jvmOptions` become -J options; the classes go to `classes`. The optimising compiler
  // and the parallel collector would triple the CPU time of a compile, and the suite runs in parallel.
  std::vector<std::string> javacCommand(const std::vector<std::string>& jvmOptions, const fs::path& classes,
                                        const std::string& sources) const {
    std::vector<std::string> command{javac, "-J-XX:TieredStopAtLevel=1", "-J-XX:+UseSerialGC"};
    for (const std::string& option : jvmOptions) command.push_back("-J" + option);
    for (const std::string& argument : {std::string("-Xlint:all"), std::string("-d"), classes.string(), sources}) {
      command.push_back(argument);
    }
    return command;
  }

  // The outcome of two runs made at once, so that a test takes one run's time.
  struct SideBySide {
    int referenceCode;
    int otherCode;
    std::string reference;
    std::string other;
  };
  SideBySide runSideBySide(const std::vector<std::string>& referenceCommand,
                           const std::vector<std::string>& otherCommand) {
    ChildProcess referenceRun(referenceCommand, nextOutputPath());
    ChildProcess otherRun(otherCommand, nextOutputPath());
    const int referenceCode = referenceRun.wait();
    const int otherCode = otherRun.wait();
    return {referenceCode, otherCode, referenceRun.output(), otherRun.output()};
  }

  std::string agentOption() const { return agentOptionWith(""); }
  std::string agentOptionWith(const std::string& extra) const {
    return "-agentpath:" + library + "=" + optionsWith(extra);
  }
};

TEST_F(ClassRoadTest, JdkAndProgramNativesAreWrappedAndBehaveUnderTheVerifier) {
  const ProgramRun run = runClassRoad("plain", "", verifyAll);
  expectNatives(run, true);
  expectCleanLog();
}

TEST_F(ClassRoadTest, DisableAllWrapsNothing) {
  const ProgramRun run = runClassRoad("plain", "disableall", verifyAll);
  expectNatives(run, false);
  expectCleanLog();
}

// Without the natives wrapped again the JVM would refuse both: a method of the class would disappear.
TEST_F(ClassRoadTest, RetransformedAndRedefinedClassesKeepTheirWrappedNatives) {
  const ProgramRun run =
      runClassRoad("redefine", "", {"-Xverify:all", std::string("-javaagent:") + TALLYSCOPE_ROAD_AGENT_JAR});
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_TRUE(containsInOrder(run.output, {"retransformed: [", "]\nredefined: ClassRoad$Unbound\n"})) << run.output;
  const std::string retransformed = run.output.substr(0, run.output.find("\nredefined: "));
  EXPECT_NE(std::string::npos, retransformed.find("java/lang/Thread")) << run.output;
  EXPECT_NE(std::string::npos, retransformed.find("ClassRoad$Unbound")) << run.output;
  EXPECT_NE(std::string::npos, retransformed.find("ClassRoad$Unlinked")) << run.output;
  expectNatives(run, true);
  expectCleanLog();
}

// javac, which no one here wrote, loads thousands of JDK classes through the agent under the verifier.
TEST_F(ClassRoadTest, JavacUnderTheAgentWritesTheSameClassesAndConsoleOutputAsWithout) {
  const std::string sources = generateTree(fs::path(work.path()) / "tree", 300);
  const fs::path reference = fs::path(work.path()) / "reference";
  const fs::path profiled = fs::path(work.path()) / "profiled";
  const fs::path loads = fs::path(work.path()) / "loads.txt";
  const SideBySide runs = runSideBySide(
      javacCommand({"-Xverify:all"}, reference, sources),
      javacCommand({agentOption(), "-Xverify:all", "-Xlog:class+load:file=" + loads.string()}, profiled, sources));
  ASSERT_EQ(0, runs.referenceCode) << runs.reference;
  EXPECT_EQ(0, runs.otherCode) << runs.other;
  // -Xlint:all warns of the raw types and the deprecated constructor of a few classes.
  EXPECT_NE(std::string::npos, runs.reference.find("warning: [rawtypes]")) << runs.reference;
  EXPECT_EQ(runs.reference, runs.other);

  const std::vector<std::string> files = filesUnder(reference);
  EXPECT_GT(files.size(), 2000u);
  ASSERT_EQ(files, filesUnder(profiled));
  for (const std::string& file : files) {
    ASSERT_EQ(readWhole(reference / file), readWhole(profiled / file)) << file;
  }

  EXPECT_GT(loadedClasses(loads), 2000);
  // Every thousandth class the road processed is counted in the log.
  EXPECT_GE(processedClasses(logs()), 1000) << logs();
  expectMostClassesInstrumented(logs());
  expectCleanLog();
}

// The compiled tree: over two thousand classes of its own (inner, nested, local and anonymous classes,
// records, enums, lambdas, natives never called) beside thousands of the JDK.
TEST_F(ClassRoadTest, ProgramOfThousandsOfClassesRunsUnderTheVerifierAsWithout) {
  const std::string sources = generateTree(fs::path(work.path()) / "tree", 300);
  const fs::path classes = fs::path(work.path()) / "classes";
  const ProgramRun compiled = runProgram(javacCommand({}, classes, sources), nextOutputPath());
  ASSERT_EQ(0, compiled.exitCode) << compiled.output;

  const fs::path loads = fs::path(work.path()) / "loads.txt";
  const std::vector<std::string> program{"-cp", classes.string(), "road.Main"};
  std::vector<std::string> referenceCommand{java, "-Xverify:all"};
  referenceCommand.insert(referenceCommand.end(), program.begin(), program.end());
  std::vector<std::string> profiledCommand{java, agentOption(), "-Xverify:all",
                                           "-Xlog:class+load:file=" + loads.string()};
  profiledCommand.insert(profiledCommand.end(), program.begin(), program.end());
  const SideBySide runs = runSideBySide(referenceCommand, profiledCommand);
  ASSERT_EQ(0, runs.referenceCode) << runs.reference;
  EXPECT_EQ(0, runs.otherCode) << runs.other;
  EXPECT_NE(std::string::npos, runs.reference.find("after C299: ")) << runs.reference;
  EXPECT_EQ(runs.reference, runs.other);

  EXPECT_GT(loadedClasses(loads), 4000);
  EXPECT_GE(processedClasses(logs()), 2000) << logs();
  expectMostClassesInstrumented(logs());
  expectCleanLog();
}

// The JVM records allocations through its own sampling where it can, so the allocation blocks run only in
// JVMs without it: here they run in a whole program, instrumented as the road would, with the Callback
// class's idle bodies (the agent with "disableall" puts them on the boot class path and edits nothing).
TEST_F(ClassRoadTest, ProgramInstrumentedForAllocationsRunsUnderTheVerifierAsWithout) {
  const std::string sources = generateTree(fs::path(work.path()) / "tree", 300);
  const fs::path classes = fs::path(work.path()) / "classes";
  const ProgramRun compiled = runProgram(javacCommand({}, classes, sources), nextOutputPath());
  ASSERT_EQ(0, compiled.exitCode) << compiled.output;
  const fs::path instrumented = fs::path(work.path()) / "instrumented";
  EXPECT_GT(instrumentClassFiles(classes, instrumented), 2000);

  const auto command = [&](const fs::path& classPath) {
    return std::vector<std::string>{java, agentOptionWith("disableall"), "-Xverify:all", "-cp", classPath.string(),
                                    "road.Main"};
  };
  const SideBySide runs = runSideBySide(command(classes), command(instrumented));
  ASSERT_EQ(0, runs.referenceCode) << runs.reference;
  EXPECT_EQ(0, runs.otherCode) << runs.other;
  EXPECT_NE(std::string::npos, runs.reference.find("after C299: ")) << runs.reference;
  EXPECT_EQ(runs.reference, runs.other);
  expectCleanLog();
}

}  // namespace
