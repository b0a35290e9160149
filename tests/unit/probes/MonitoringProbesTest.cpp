// The monitoring probes that a start registers by default, as the Java side's archive ships them: each
// name with its inner classes passes probe validation, its patterns select the tools' real entry points
// the way the weaver matches them, and its table description makes an event table.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "agent/classfile/SignatureUtil.h"
#include "agent/db/DB.h"
#include "agent/probes/ProbeCreationResult.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/probes/ProbeValidation.h"
#include "agent/support/CommonUtils.h"
#include "tests/support/CallbackArchive.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestDatabase.h"

namespace {

std::string str(const YString& text) { return std::string(text.data, size_t(text.length)); }

std::string entryName(const std::string& dotName) {
  std::string name = dotName;
  for (char& c : name) {
    if (c == '.') c = '/';
  }
  return name + ".class";
}

// A method of an observed tool or of the JDK: internal class name, name and descriptor.
struct EntryPoint {
  const char* className;
  const char* method;
  const char* descriptor;
};

struct MonitoringProbe {
  const char* name;
  const char* description;
  std::vector<EntryPoint> entryPoints;
};

const std::vector<MonitoringProbe>& monitoringProbes() {
  static const std::vector<MonitoringProbe> probes = {
      {"Ant",
       "Ant Targets\n5\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nTarget\n2\nexception_str\n2\n",
       {{"org/apache/tools/ant/Target", "execute", "()V"}}},
      {"Gradle",
       "Gradle Tasks\n5\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nTask\n2\nexception_str\n2\n",
       {{"org/gradle/api/internal/tasks/execution/ExecuteActionsTaskExecuter", "execute",
         "(Lorg/gradle/api/internal/TaskInternal;Lorg/gradle/api/internal/tasks/TaskStateInternal;"
         "Lorg/gradle/api/internal/tasks/TaskExecutionContext;)Lorg/gradle/api/internal/tasks/TaskExecuterResult;"},
        {"org/gradle/api/internal/tasks/execution/ExecuteActionsTaskExecuter", "execute",
         "(Lorg/gradle/api/internal/TaskInternal;Lorg/gradle/api/internal/tasks/TaskStateInternal;"
         "Lorg/gradle/api/internal/tasks/TaskExecutionContext;)V"}}},
      {"JUnitTests",
       "JUnit Tests\n7\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nTest class\n2\nTest\n2\nOutcome\n2\n"
       "exception_str\n2\n",
       {{"org/junit/runner/notification/RunNotifier", "fireTestStarted", "(Lorg/junit/runner/Description;)V"},
        {"org/junit/runner/notification/RunNotifier", "fireTestFinished", "(Lorg/junit/runner/Description;)V"},
        {"org/junit/runner/notification/RunNotifier", "fireTestIgnored", "(Lorg/junit/runner/Description;)V"},
        {"org/junit/runner/notification/RunNotifier", "fireTestFailure",
         "(Lorg/junit/runner/notification/Failure;)V"},
        {"org/junit/runner/notification/RunNotifier", "fireTestAssumptionFailed",
         "(Lorg/junit/runner/notification/Failure;)V"},
        {"org/junit/platform/launcher/core/ExecutionListenerAdapter", "executionStarted",
         "(Lorg/junit/platform/engine/TestDescriptor;)V"},
        {"org/junit/platform/launcher/core/ExecutionListenerAdapter", "executionSkipped",
         "(Lorg/junit/platform/engine/TestDescriptor;Ljava/lang/String;)V"},
        {"org/junit/platform/launcher/core/ExecutionListenerAdapter", "executionFinished",
         "(Lorg/junit/platform/engine/TestDescriptor;Lorg/junit/platform/engine/TestExecutionResult;)V"}}},
      {"Maven",
       "Maven Mojos\n5\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nMojo\n2\nexception_str\n2\n",
       {{"org/apache/maven/plugin/DefaultBuildPluginManager", "executeMojo",
         "(Lorg/apache/maven/execution/MavenSession;Lorg/apache/maven/plugin/MojoExecution;)V"}}},
      {"Processes",
       "Processes\n7\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nframe\n0\nCommand line\n2\nExit code\n2\n"
       "exception_str\n2\n",
       {{"java/lang/ProcessBuilder", "start", "()Ljava/lang/Process;"},
        {"java/lang/ProcessImpl", "waitFor", "()I"},
        {"java/lang/ProcessImpl", "waitFor", "(JLjava/util/concurrent/TimeUnit;)Z"},
        {"java/lang/UNIXProcess", "waitFor", "()I"}}},
      {"ShutdownHook",
       "Shutdown Hooks\n5\nuptime_ns\n1\nthread\n0\nframe\n0\nHook thread\n2\nClass\n4\n",
       {{"java/lang/ApplicationShutdownHooks", "add", "(Ljava/lang/Thread;)V"}}},
      {"TestNg",
       "TestNG Tests\n7\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nTest class\n2\nTest\n2\nOutcome\n2\n"
       "exception_str\n2\n",
       {{"org/testng/internal/Invoker", "invokeMethod",
         "(Ljava/lang/Object;Lorg/testng/ITestNGMethod;[Ljava/lang/Object;ILorg/testng/xml/XmlSuite;"
         "Ljava/util/Map;Lorg/testng/ITestClass;[Lorg/testng/ITestNGMethod;[Lorg/testng/ITestNGMethod;"
         "Lorg/testng/internal/ConfigurationGroupMethods;Lorg/testng/internal/Invoker$FailureContext;)"
         "Lorg/testng/ITestResult;"},
        {"org/testng/internal/invokers/TestInvoker", "invokeMethod",
         "(Lorg/testng/internal/invokers/TestMethodArguments;Lorg/testng/xml/XmlSuite;"
         "Lorg/testng/internal/invokers/ITestInvoker$FailureContext;)Lorg/testng/ITestResult;"}}},
      {"TestsSupport",
       "Test Assertion Failures\n5\nuptime_ns\n1\nthread\n0\nframe\n0\nAssertion\n4\nFailure\n2\n",
       {{"org/junit/Assert", "fail", "(Ljava/lang/String;)V"},
        {"org/opentest4j/AssertionFailedError", "<init>",
         "(Ljava/lang/String;Lorg/opentest4j/ValueWrapper;Lorg/opentest4j/ValueWrapper;Ljava/lang/Throwable;)V"}}},
      {"Threads",
       "Threads\n7\nuptime_ns\n1\nuptime_ns.end\n1\nthread\n0\nframe\n0\nName\n2\nClass\n4\nexception_str\n2\n",
       {{"java/lang/Thread", "start", "()V"}, {"java/lang/Thread", "exit", "()V"}}},
  };
  return probes;
}

// One name's registration as the agent makes it: the outer class, then every inner class the classes
// examined so far declare, from the archive.
struct Registration {
  ProbeCreationResult result;
  std::vector<std::vector<uint8_t>> classBytes;
  std::vector<std::string> missing;

  explicit Registration(const std::string& name) {
    add(name);
    for (int32_t i = 0; i < result.declaredInnerClasses.size; i++) add(str(result.declaredInnerClasses[i]));
  }
  ~Registration() {
    if (result.isSuccessful()) result.probes.deleteElements();
  }

  void add(const std::string& name) {
    for (int32_t i = 0; i < result.examinedClasses.size; i++) {
      if (str(result.examinedClasses[i]) == name) return;
    }
    std::vector<uint8_t> bytes = callbackArchiveEntry(entryName(name));
    if (bytes.empty()) {
      missing.push_back(name);
      return;
    }
    YVector<uint8_t> copy;
    for (uint8_t byte : bytes) copy.add(byte);
    createProbeFromClass(copy, 0, result, nullptr);
    classBytes.push_back(std::move(bytes));
  }

  // Whether the pattern `i` of `probe` selects the method, as the weaver tests class, name, parameter
  // text and return type.
  static bool selects(const ProbeDescriptor& probe, int32_t i, const EntryPoint& entry) {
    const YString javaClass = YString(entry.className).replaceAll("/", ".");
    const YString parameters = methodDescriptorToParameterList(entry.descriptor);
    const YString returnType = methodDescriptorToReturnTypeName(entry.descriptor);
    return !probe.negated[i] && probe.classAnnotationPatterns[i].length == 0 &&
           probe.methodAnnotationPatterns[i].length == 0 && matchesWildcardStrings(probe.classPatterns[i], javaClass) &&
           matchesWildcardStrings(probe.methodPatterns[i], YString(entry.method)) &&
           matchesWildcardStrings(probe.parameterPatterns[i], parameters) &&
           matchesWildcardStrings(probe.returnTypePatterns[i], returnType);
  }

  // The probes whose patterns select the method.
  int32_t probesSelecting(const EntryPoint& entry) const {
    int32_t count = 0;
    for (int32_t p = 0; p < result.probes.size; p++) {
      bool selected = false;
      for (int32_t i = 0; i < result.probes[p]->patternCount(); i++) {
        selected = selected || selects(*result.probes[p], i, entry);
      }
      if (selected) count++;
    }
    return count;
  }

  // Whether one of the classes holds the text as a constant (a Utf8 entry: its length, then its bytes).
  bool holdsConstant(const std::string& text) const {
    std::string entry;
    entry += char(1);
    entry += char(text.size() >> 8);
    entry += char(text.size() & 0xFF);
    entry += text;
    for (const std::vector<uint8_t>& bytes : classBytes) {
      if (std::string(bytes.begin(), bytes.end()).find(entry) != std::string::npos) return true;
    }
    return false;
  }
};

std::string qualified(const char* name) { return std::string("com.brantel.probes.tallyscope.") + name; }

}  // namespace

TEST(MonitoringProbes, EveryNameRegistersWithItsInnerClassesAndNoError) {
  for (const MonitoringProbe& probe : monitoringProbes()) {
    SCOPED_TRACE(probe.name);
    LogCapture log;
    Registration registration(qualified(probe.name));
    EXPECT_EQ(str(registration.result.getErrorsText()), "");
    EXPECT_TRUE(registration.missing.empty()) << registration.missing.front();
    ASSERT_GE(registration.result.probes.size, 1);
    for (int32_t i = 0; i < registration.result.probes.size; i++) {
      const ProbeDescriptor& descriptor = *registration.result.probes[i];
      EXPECT_EQ(str(descriptor.owner->name), qualified(probe.name));
      // Callbacks that replaced the observed method's value or swallowed its exceptions would change
      // the program they watch.
      EXPECT_FALSE(descriptor.needsReturnValue) << str(descriptor.className);
      EXPECT_FALSE(descriptor.discardThrownException) << str(descriptor.className);
      EXPECT_EQ(descriptor.callbackExceptions.size, 0) << str(descriptor.className);
    }
    // No "consider using onExit()" nor a performance warning.
    for (const std::string& entry : log.entries()) EXPECT_EQ(entry.rfind("warning", 0), std::string::npos) << entry;
  }
}

TEST(MonitoringProbes, PatternsSelectTheEntryPointsOfTheirTools) {
  for (const MonitoringProbe& probe : monitoringProbes()) {
    Registration registration(qualified(probe.name));
    for (const EntryPoint& entry : probe.entryPoints) {
      SCOPED_TRACE(std::string(probe.name) + " " + entry.className + "." + entry.method + entry.descriptor);
      // Exactly one: two probes of one name on the same method would record it twice.
      EXPECT_EQ(registration.probesSelecting(entry), 1);
    }
  }
}

TEST(MonitoringProbes, PatternsLeaveNeighboursAlone) {
  const struct {
    const char* name;
    EntryPoint entry;
  } neighbours[] = {
      // ProcessBuilder.start() calls its private overload; the process would be counted twice.
      {"Processes", {"java/lang/ProcessBuilder", "start", "([Ljava/lang/ProcessBuilder$Redirect;)Ljava/lang/Process;"}},
      {"Processes", {"java/lang/Process", "waitFor", "()I"}},
      {"Threads", {"java/lang/Thread", "run", "()V"}},
      // Runtime hands its hooks on to ApplicationShutdownHooks; a retransformed Runtime would add a second row.
      {"ShutdownHook", {"java/lang/Runtime", "addShutdownHook", "(Ljava/lang/Thread;)V"}},
      {"Ant", {"org/apache/tools/ant/Target", "performTasks", "()V"}},
      {"TestsSupport", {"org/opentest4j/AssertionFailedError", "<init>", "(Ljava/lang/String;)V"}},
      {"JUnitTests",
       {"org/junit/runner/notification/RunNotifier", "fireTestRunStarted", "(Lorg/junit/runner/Description;)V"}},
  };
  for (const auto& neighbour : neighbours) {
    SCOPED_TRACE(std::string(neighbour.name) + " " + neighbour.entry.className + "." + neighbour.entry.method +
                 neighbour.entry.descriptor);
    Registration registration(qualified(neighbour.name));
    EXPECT_EQ(registration.probesSelecting(neighbour.entry), 0);
  }
}

class MonitoringProbeTables : public DatabaseTest {};

TEST_F(MonitoringProbeTables, EachProbeCarriesADescriptionThatMakesAnEventTable) {
  for (const MonitoringProbe& probe : monitoringProbes()) {
    SCOPED_TRACE(probe.name);
    Registration registration(qualified(probe.name));
    EXPECT_TRUE(registration.holdsConstant(probe.description));
    EXPECT_GE(database->createEventTable(YString(probe.description)), 32);
  }
}
