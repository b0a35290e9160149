#include <gtest/gtest.h>
#include <jni.h>
#include <jvmti.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLifecycle.h"
#include "agent/core/CallbackJarData.h"
#include "agent/core/JavaVersion.h"
#include "agent/instrumentation/CallbackBodies.h"
#include "agent/instrumentation/ClassTransformer.h"
#include "agent/recording/CountingSupport.h"
#include "agent/recording/TracingReplay.h"
#include "agent/recording/TracingSettings.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/NamedLocks.h"
#include "tests/inprocess/CallbackFixture.h"
#include "tests/inprocess/InProcessJvm.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/FreshProcess.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "tests/unit/classfile/ClassTestSupport.h"

// The Callback class redefined with the bodies of the recording modes, in a real JVM: each mode's
// bodies in the entry methods (read back through JVMTI GetBytecodes), the counting bodies counting, the
// class file under "_agent_cp", and the JVM's verifier judging every redefinition.

#ifndef _WIN32
namespace {

using Bytes = std::vector<uint8_t>;

constexpr const char* CALLBACK = "com/brantel/runtime/Callback";

struct EntryMethod {
  const char* name;
  const char* descriptor;
  std::vector<const char*> bodies;
};

// The four entry methods of instrumented code and the bodies the modes give them.
const EntryMethod entryMethods[] = {
    {"bzpMethodEntry", "(IJ)J", {"methodEntry_A", "methodEntry_NA", "methodEntry_CF4", "methodEntry_CF8"}},
    {"bzpMethodExit", "(IJ)V", {"methodExit_A", "methodExit_NA"}},
    {"bzpMethodLine", "(IJ)V", {"methodLine"}},
    {"bzpInit", "(Ljava/lang/Object;IISJ)I", {"init_A", "init_CF4", "init_CF8"}},
};

// Runs `body` in a fresh process whose JVM verifies every class it defines or redefines, those of the
// bootstrap loader among them: JAVA_TOOL_OPTIONS, which the JVM itself reads, is inherited by the
// process.
template <class Body>
void inFreshVerifyingJvm(Body body) {
  const char* given = std::getenv("JAVA_TOOL_OPTIONS");
  const std::string saved = given == nullptr ? "" : given;
  setenv("JAVA_TOOL_OPTIONS", "-Xverify:all", 1);
  inFreshProcess(body);
  if (given == nullptr) {
    unsetenv("JAVA_TOOL_OPTIONS");
  } else {
    setenv("JAVA_TOOL_OPTIONS", saved.c_str(), 1);
  }
}

// The agent's hook for the Callback class alone: every other class of the test JVM loads as it is.
void JNICALL callbackClassHook(jvmtiEnv* jvmti, JNIEnv* env, jclass redefined, jobject loader, const char* name,
                               jobject domain, jint length, const unsigned char* data, jint* newLength,
                               unsigned char** newData) {
  if (name == nullptr || std::strcmp(name, CALLBACK) != 0) return;
  ClassFileLoadHook(jvmti, env, redefined, loader, name, domain, length, data, newLength, newData);
}

// In a fresh process: the Callback class as start-up leaves it on Java 17, defined through the agent's
// hook (so that it uses the JDK's internal Unsafe) and allowed to reach that Unsafe, and the main
// environment able to redefine it and read bytecodes. Null, with the reason in `failures`, when that
// cannot be had.
jclass preparedCallbackClass(JNIEnv* env, std::string& failures) {
  ourJavaVersion = 17;
  jvmtiCapabilities wanted{};
  wanted.can_redefine_classes = 1;
  wanted.can_get_bytecodes = 1;
  jvmtiEventCallbacks callbacks{};
  callbacks.ClassFileLoadHook = callbackClassHook;
  if (mainJvmti->AddCapabilities(&wanted) != JVMTI_ERROR_NONE ||
      mainJvmti->SetEventCallbacks(&callbacks, jint(sizeof callbacks)) != JVMTI_ERROR_NONE ||
      mainJvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK, nullptr) !=
          JVMTI_ERROR_NONE) {
    failures += "the JVMTI environment cannot redefine the class\n";
    return nullptr;
  }
  const jclass callback = callbackClass(env);
  if (callback == nullptr) {
    failures += "the Callback class cannot be defined\n";
    return nullptr;
  }
  addModuleExports(env);
  return callback;
}

Bytes bytecodesOf(JNIEnv* env, jclass klass, const char* name, const char* descriptor) {
  const jmethodID method = env->GetStaticMethodID(klass, name, descriptor);
  if (method == nullptr) {
    env->ExceptionClear();
    return {};
  }
  jint count = 0;
  unsigned char* bytes = nullptr;
  if (mainJvmti->GetBytecodes(method, &count, &bytes) != JVMTI_ERROR_NONE) return {};
  Bytes copy(bytes, bytes + count);
  jvmtiDeallocate(bytes);
  return copy;
}

// The entry methods' bytecodes as the class was defined.
std::vector<Bytes> ownBodies(JNIEnv* env, jclass callback) {
  std::vector<Bytes> own;
  for (const EntryMethod& entry : entryMethods) own.push_back(bytecodesOf(env, callback, entry.name, entry.descriptor));
  return own;
}

// Which body each entry method now carries: the name of the body whose bytecodes it has, "own" for its
// own, "?" for anything else.
std::vector<std::string> carriedBodies(JNIEnv* env, jclass callback, const std::vector<Bytes>& own) {
  std::vector<std::string> carried;
  for (size_t i = 0; i < std::size(entryMethods); i++) {
    const EntryMethod& entry = entryMethods[i];
    const Bytes now = bytecodesOf(env, callback, entry.name, entry.descriptor);
    std::string name = now == own[i] ? "own" : "?";
    for (const char* body : entry.bodies) {
      if (bytecodesOf(env, callback, body, entry.descriptor) == now) name = body;
    }
    carried.push_back(name);
  }
  return carried;
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

const std::vector<std::string> allOwn(std::size(entryMethods), "own");

// Sets the modes and redefines; the failure, if any, described for `what`.
std::string switchTo(JNIEnv* env, uint64_t modeBits, const std::string& what) {
  profilingFlags.store(PROFILING_FLAGS_INITIAL | modeBits);
  return switchCallbackMethods(env) ? "" : what + ": the redefinition was refused\n";
}

struct ModeCase {
  const char* mode;
  uint64_t modeBits;  // on top of the initial profiling flags
  bool adaptive;
  bool linesAvailable;
  uint64_t agentBits;
  std::vector<std::string> carried;  // by bzpMethodEntry, bzpMethodExit, bzpMethodLine, bzpInit
};

// Each case's modes, then every mode off again.
std::string runModeCases(const std::vector<ModeCase>& cases) {
  JNIEnv* env = mainJniEnv();
  std::string failures;
  const jclass callback = preparedCallbackClass(env, failures);
  if (callback == nullptr) return failures;
  ConsoleCapture console;
  const std::vector<Bytes> own = ownBodies(env, callback);
  std::vector<Bytes> bodies;
  for (const EntryMethod& entry : entryMethods) {
    for (const char* body : entry.bodies) bodies.push_back(bytecodesOf(env, callback, body, entry.descriptor));
  }
  for (const ModeCase& c : cases) {
    agentFlags.store(c.agentBits);
    tracingSettings.adaptive = c.adaptive;
    tracingLinesAvailable.store(c.linesAvailable);
    failures += switchTo(env, c.modeBits, c.mode);
    const std::vector<std::string> carried = carriedBodies(env, callback, own);
    if (carried != c.carried) failures += std::string(c.mode) + ": " + joined(carried) + "\n";
    failures += switchTo(env, 0, std::string(c.mode) + " then every mode off");
    const std::vector<std::string> restored = carriedBodies(env, callback, own);
    if (restored != allOwn) failures += std::string(c.mode) + " then every mode off: " + joined(restored) + "\n";
  }
  agentFlags.store(AGENT_FLAGS_INITIAL);
  std::vector<Bytes> bodiesAfter;
  for (const EntryMethod& entry : entryMethods) {
    for (const char* body : entry.bodies) bodiesAfter.push_back(bytecodesOf(env, callback, body, entry.descriptor));
  }
  if (bodiesAfter != bodies) failures += "a body changed\n";
  const std::string warning = firstJniWarning(console.finish());
  if (!warning.empty()) failures += warning + "\n";
  return failures;
}

uint64_t stripeSum(const uint64_t* counter) {
  uint64_t sum = 0;
  for (int32_t stripe = 0; stripe < getCounterStripeCount(); stripe++) sum += counter[stripe * countersPerChunk];
  return sum;
}

// The counting bodies in force count through the JDK's internal Unsafe, which only a redefinition that
// went through the agent's hook can reach; with the modes off the own bodies count nothing.
std::string countThroughTheBodies(const char* entryBody, const char* initBody) {
  JNIEnv* env = mainJniEnv();
  std::string failures;
  const jclass callback = preparedCallbackClass(env, failures);
  if (callback == nullptr) return failures;
  if (!ensureUnsafeCreated(env)) return "the Java side cannot write native memory\n";
  uint64_t* calls = nullptr;
  uint64_t* allocations = nullptr;
  {
    YCriticalSectionLock held(&ourLock(), "Test:1");
    calls = getCountingSlot(4096 + 5, callCounters());
    allocations = getCountingSlot(2 * 4096 + 6, allocPointCounters());
  }
  const jmethodID entry = env->GetStaticMethodID(callback, "bzpMethodEntry", "(IJ)J");
  const jmethodID init = env->GetStaticMethodID(callback, "bzpInit", "(Ljava/lang/Object;IISJ)I");
  const jobject object = env->NewStringUTF("allocated");
  const auto callBoth = [&](int32_t times) {
    for (int32_t i = 0; i < times; i++) {
      env->CallStaticLongMethod(callback, entry, jint(5), jlong(reinterpret_cast<intptr_t>(calls)));
      if (env->ExceptionCheck()) return false;
      const jint node = env->CallStaticIntMethod(callback, init, object, jint(42), jint(7), jshort(10),
                                                 jlong(reinterpret_cast<intptr_t>(allocations)));
      if (env->ExceptionCheck() || node != 42) return false;
    }
    return true;
  };

  const std::vector<Bytes> own = ownBodies(env, callback);
  failures += switchTo(env, PROFILING_CALL_COUNTING | 0x4002, "call and allocation counting");
  const std::vector<std::string> carried = carriedBodies(env, callback, own);
  if (carried != std::vector<std::string>{entryBody, "own", "own", initBody}) failures += joined(carried) + "\n";
  if (!callBoth(3)) failures += "a counting body failed\n";
  if (stripeSum(calls) != 3 || stripeSum(allocations) != 3) failures += "the counting bodies did not count\n";

  failures += switchTo(env, 0, "every mode off");
  if (!callBoth(2)) failures += "an own body failed\n";
  if (stripeSum(calls) != 3 || stripeSum(allocations) != 3) failures += "the own bodies counted\n";
  if (env->ExceptionCheck()) {
    env->ExceptionDescribe();
    env->ExceptionClear();
  }
  return failures;
}

// The built-in class with its own bzpMethodEntry body replaced through `edit`, written as
// com/brantel/runtime/Callback.class under `directory`.
template <class Edit>
void writeCallbackVariant(const TempDir& directory, Edit edit) {
  const classtest::ParsedClass parsed(Bytes(callbackClassBytes, callbackClassBytes + callbackClassSize));
  edit(*parsed);
  const Bytes bytes = classtest::writtenClass(*parsed);
  std::filesystem::create_directories(directory.pathOf("com/brantel/runtime"));
  std::ofstream(directory.pathOf("com/brantel/runtime/Callback.class"), std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Each test runs its JVM work in fresh processes, whose output stays the test's own.
class CallbackBodiesInJvm : public ::testing::Test {};

}  // namespace

TEST_F(CallbackBodiesInJvm, EachModeGivesTheEntryMethodsItsBodiesAndModesOffGiveTheirOwnBack) {
  const std::vector<ModeCase> eightStripes = {
      {"every mode off", 0, true, true, AGENT_FLAGS_INITIAL, {"own", "own", "own", "own"}},
      {"CPU sampling", PROFILING_CPU_SAMPLING, true, true, AGENT_FLAGS_INITIAL, {"own", "own", "own", "own"}},
      {"adaptive tracing with lines", PROFILING_CPU_TRACING, true, true, AGENT_FLAGS_INITIAL,
       {"methodEntry_A", "methodExit_A", "methodLine", "own"}},
      {"adaptive tracing without lines", PROFILING_CPU_TRACING, true, false, AGENT_FLAGS_INITIAL,
       {"methodEntry_A", "methodExit_A", "own", "own"}},
      {"tracing with lines", PROFILING_CPU_TRACING, false, true, AGENT_FLAGS_INITIAL,
       {"methodEntry_NA", "methodExit_NA", "methodLine", "own"}},
      {"tracing without lines", PROFILING_CPU_TRACING, false, false, AGENT_FLAGS_INITIAL,
       {"methodEntry_NA", "methodExit_NA", "own", "own"}},
      {"call counting", PROFILING_CALL_COUNTING, true, true, AGENT_FLAGS_INITIAL,
       {"methodEntry_CF8", "own", "own", "own"}},
      {"allocation recording", 0x2, false, true, AGENT_FLAGS_INITIAL, {"own", "own", "own", "init_A"}},
      {"allocation recording with sampled stacks", 0x2002, false, true, AGENT_FLAGS_INITIAL,
       {"own", "own", "own", "init_A"}},
      {"allocation counting", 0x4002, false, true, AGENT_FLAGS_INITIAL, {"own", "own", "own", "init_CF8"}},
      {"tracing and allocation recording", PROFILING_CPU_TRACING | 0x2, false, true, AGENT_FLAGS_INITIAL,
       {"methodEntry_NA", "methodExit_NA", "methodLine", "init_A"}},
      {"CPU sampling and allocation counting", PROFILING_CPU_SAMPLING | 0x4002, false, true, AGENT_FLAGS_INITIAL,
       {"own", "own", "own", "init_CF8"}},
      // The agent may instrument nothing, yet the class is switched (and keeps the JDK's Unsafe).
      {"call counting while no instrumentation is allowed", PROFILING_CALL_COUNTING, false, true, 0,
       {"methodEntry_CF8", "own", "own", "own"}},
  };
  inFreshVerifyingJvm([&] { return runModeCases(eightStripes); });

  const std::vector<ModeCase> fourStripes = {
      {"call counting", PROFILING_CALL_COUNTING, false, true, AGENT_FLAGS_INITIAL,
       {"methodEntry_CF4", "own", "own", "own"}},
      {"allocation counting", 0x4002, false, true, AGENT_FLAGS_INITIAL, {"own", "own", "own", "init_CF4"}},
  };
  inFreshVerifyingJvm([&] {
    const HiddenOption cf4("_cf4");
    return runModeCases(fourStripes);
  });
}

TEST_F(CallbackBodiesInJvm, TheCountingBodiesCountIntoTheNativeCounters) {
  inFreshVerifyingJvm([] { return countThroughTheBodies("methodEntry_CF8", "init_CF8"); });
  inFreshVerifyingJvm([] {
    const HiddenOption cf4("_cf4");
    return countThroughTheBodies("methodEntry_CF4", "init_CF4");
  });
}

TEST_F(CallbackBodiesInJvm, TheClassFileUnderAgentCpIsTheOneRedefined) {
  inFreshVerifyingJvm([]() -> std::string {
    JNIEnv* env = mainJniEnv();
    std::string failures;
    const jclass callback = preparedCallbackClass(env, failures);
    if (callback == nullptr) return failures;
    const std::vector<Bytes> own = ownBodies(env, callback);
    TempDir directory;
    writeCallbackVariant(directory, [](ClassFile& classFile) {
      copyMethodBody(&classFile, "bzpMethodEntry", "methodEntry_CF8", "(IJ)J");
    });
    const std::string token = "_agent_cp=" + directory.path();
    {
      const HiddenOption agentCp(token.c_str());
      failures += switchTo(env, 0, "every mode off, from the file");
      std::vector<std::string> carried = carriedBodies(env, callback, own);
      if (carried != std::vector<std::string>{"methodEntry_CF8", "own", "own", "own"}) {
        failures += "every mode off, from the file: " + joined(carried) + "\n";
      }
      tracingSettings.adaptive = false;
      tracingLinesAvailable.store(false);
      failures += switchTo(env, PROFILING_CPU_TRACING, "tracing, from the file");
      carried = carriedBodies(env, callback, own);
      if (carried != std::vector<std::string>{"methodEntry_NA", "methodExit_NA", "own", "own"}) {
        failures += "tracing, from the file: " + joined(carried) + "\n";
      }
    }
    failures += switchTo(env, 0, "every mode off, built in");
    const std::vector<std::string> carried = carriedBodies(env, callback, own);
    if (carried != allOwn) failures += "every mode off, built in: " + joined(carried) + "\n";
    return failures;
  });
}

TEST_F(CallbackBodiesInJvm, AClassTheVerifierRejectsIsLoggedAndTheBodiesInForceStay) {
  inFreshVerifyingJvm([]() -> std::string {
    JNIEnv* env = mainJniEnv();
    std::string failures;
    const jclass callback = preparedCallbackClass(env, failures);
    if (callback == nullptr) return failures;
    const std::vector<Bytes> own = ownBodies(env, callback);
    failures += switchTo(env, PROFILING_CALL_COUNTING, "call counting");

    // bzpMethodEntry answers an int where its descriptor promises a long: lconst_0 becomes iconst_0.
    TempDir directory;
    writeCallbackVariant(directory, [](ClassFile& classFile) {
      CodeAttribute* code = classFile.findMethod(YString("bzpMethodEntry"), YString("(IJ)J"))->getCodeAttribute();
      Bytes bytes(code->getCode(), code->getCode() + code->getCodeLength());
      if (bytes.size() == 2 && bytes[0] == 0x09) bytes[0] = 0x03;
      code->setCode(bytes.data(), int32_t(bytes.size()));
    });
    const std::string token = "_agent_cp=" + directory.path();
    const HiddenOption agentCp(token.c_str());
    LogCapture log;
    profilingFlags.store(PROFILING_FLAGS_INITIAL);
    if (switchCallbackMethods(env)) failures += "the JVM accepted a class that fails verification\n";
    const std::vector<std::string> entries = log.entries();
    const std::string expected =
        "error: callback redefinition failed, likely due to a conflict with another agent: "
        "62:JVMTI_ERROR_FAILS_VERIFICATION";
    if (std::find(entries.begin(), entries.end(), expected) == entries.end()) {
      failures += "not logged: " + expected + "\n";
    }
    const std::vector<std::string> carried = carriedBodies(env, callback, own);
    if (carried != std::vector<std::string>{"methodEntry_CF8", "own", "own", "own"}) {
      failures += "after the refusal: " + joined(carried) + "\n";
    }
    return failures;
  });
}

#endif

// A file under "_agent_cp" that cannot give a class stops the switch before anything is redefined.
TEST_F(CallbackTest, AnUnusableClassFileUnderAgentCpIsFatal) {
  enum class Kind { Missing, File, Directory };
  struct Case {
    const char* what;
    Kind kind;  // of com/brantel/runtime/Callback.class
    std::string content;
    const char* error;  // null for the fatal path of the class-file parse, whose line is its own
  };
  const Case cases[] = {
      {"no file", Kind::Missing, "", "error at Instrumentation:1247: assertion failed"},
      {"an empty file", Kind::File, "", "error at Instrumentation:1247: assertion failed"},
      {"a directory", Kind::Directory, "", "error at Instrumentation:1247: assertion failed"},
      {"a class whose pool has an unknown tag", Kind::File, std::string("\xCA\xFE\xBA\xBE\0\0\0\x34\0\x02\x63", 11),
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir directory;
    const std::string path = directory.pathOf("com/brantel/runtime/Callback.class");
    if (c.kind != Kind::Missing) std::filesystem::create_directories(directory.pathOf("com/brantel/runtime"));
    if (c.kind == Kind::Directory) std::filesystem::create_directory(path);
    if (c.kind == Kind::File) std::ofstream(path, std::ios::binary) << c.content;
    const std::string token = "_agent_cp=" + directory.path();
    const HiddenOption agentCp(token.c_str());
    const std::string error = fatalErrorOf([&] { switchCallbackMethods(env); });
    if (c.error != nullptr) {
      EXPECT_EQ(error, c.error);
    } else {
      EXPECT_EQ(error.rfind("error at Instrumentation:", 0), 0u) << error;
      EXPECT_NE(error.find(": assertion failed"), std::string::npos) << error;
    }
  }
}
