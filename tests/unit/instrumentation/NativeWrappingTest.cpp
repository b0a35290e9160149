#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/core/JavaVersion.h"
#include "agent/instrumentation/NativeWrapping.h"
#include "agent/recording/MethodStore.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedValue.h"
#include "tests/support/TestDatabase.h"
#include "tests/unit/instrumentation/WrapperTestSupport.h"

namespace {

using namespace wraptest;
using Names = std::vector<std::string>;

// Wrapping makes method records, which need the database and its lock.
class NativeWrapping : public DatabaseTest {
 protected:
  ScopedValue<int32_t> version{ourJavaVersion, 17};
  ScopedValue<bool> ibm{ourIsIbm, false};
};

struct JdkCase {
  const char* className;
  int32_t javaVersion;
  bool ibm;
  Names wrapped;
};

// What a JVM of that kind gets wrapped of the JDK 17 classes, with the default settings.
TEST_F(NativeWrapping, RulesOverTheJdksOwnClasses) {
  const std::vector<JdkCase> cases = {
      {"java/lang/Thread", 17, false, {"sleep"}},
      // Before Java 9 every native but four.
      {"java/lang/Thread", 8, false,
       {"yield", "sleep", "start0", "holdsLock", "dumpThreads", "getThreads", "setPriority0", "stop0", "suspend0",
        "resume0", "interrupt0", "clearInterruptEvent", "setNativeName"}},
      {"java/lang/Object", 17, false, {"wait"}},
      // Intrinsics, yet wrapped; nanoTime only on request, identityHashCode and the stream setters never.
      {"java/lang/System", 17, false, {"currentTimeMillis", "arraycopy"}},
      {"java/lang/System", 17, true, {}},
      {"java/lang/String", 17, false, {"intern"}},
      {"java/lang/String", 17, true, {}},
      {"java/lang/Class", 17, false, {}},
      {"java/lang/ClassLoader", 17, false, {}},
      {"java/lang/Double", 17, false, {}},
      // The intrinsic candidate sqrt stays native.
      {"java/lang/StrictMath", 17, false,
       {"sin", "cos", "tan", "asin", "acos", "atan", "log", "log10", "IEEEremainder", "atan2", "sinh", "cosh", "tanh",
        "expm1", "log1p"}},
      {"java/lang/ref/Reference", 17, false,
       {"getAndClearReferencePendingList", "hasReferencePendingList", "waitForReferencePendingList", "clear0"}},
  };
  for (const JdkCase& c : cases) {
    SCOPED_TRACE(std::string(c.className) + " on " + std::to_string(c.javaVersion) + (c.ibm ? " IBM" : ""));
    const ScopedValue<int32_t> javaVersion(ourJavaVersion, c.javaVersion);
    const ScopedValue<bool> isIbm(ourIsIbm, c.ibm);
    const ParsedClass parsed(jdkClassBytes(c.className));
    const Names nativesBefore = plainNativeNames(*parsed);
    ASSERT_FALSE(nativesBefore.empty());

    EXPECT_EQ(wrapNativeMethods(*parsed), !c.wrapped.empty());
    EXPECT_EQ(wrappedNames(*parsed), c.wrapped);
    Names unwrapped;
    for (const std::string& name : nativesBefore) {
      if (std::find(c.wrapped.begin(), c.wrapped.end(), name) == c.wrapped.end()) unwrapped.push_back(name);
    }
    EXPECT_EQ(plainNativeNames(*parsed), unwrapped);

    // A class redefined after it was wrapped comes back wrapped: nothing is wrapped twice.
    const ParsedClass reparsed(classtest::writtenClass(*parsed));
    const int32_t methodCount = reparsed->getMethods().size;
    EXPECT_FALSE(wrapNativeMethods(*reparsed));
    EXPECT_EQ(reparsed->getMethods().size, methodCount);
    EXPECT_FALSE(wrapNativeMethods(*parsed));
    EXPECT_EQ(wrappedNames(*parsed), c.wrapped);
  }
}

struct AssembledCase {
  const char* className;
  Native native;
  bool wrapped;
  bool ibm = false;
  int32_t javaVersion = 17;
};

TEST_F(NativeWrapping, RulesOverClassNamesAndMethods) {
  const std::vector<AssembledCase> cases = {
      // The default prefixes are byte prefixes of the internal name.
      {"java/lang/ClassValue", {"compute"}, false},
      {"java/lang/invoke/MethodHandleNatives", {"init"}, false},
      {"java/lang/invokeX", {"init"}, true},
      {"sun/reflect/Reflection", {"getCallerClass"}, false},
      {"com/ibm/jvmti/Dump", {"dump"}, false},
      {"jdk/internal/misc/UnsafeX", {"peek"}, false},
      {"java/lang/Throwable", {"fillInStackTrace"}, false},
      {"java/lang/Runtime", {"gc"}, true},
      // registerNatives is left alone in the JDK's core classes only.
      {"java/lang/Runtime", {"registerNatives"}, false},
      {"com/example/Natives", {"registerNatives"}, true},
      {"java/lang/reflect/Array", {"getLength"}, true},
      {"java/lang/reflect/Array", {"getLength"}, false, true},
      {"java/lang/reflectX", {"get"}, false, true},
      {"java/lang/Thread", {"yield"}, true, false, 8},
      {"java/lang/Thread", {"isInterrupted"}, false, false, 8},
      {"java/lang/Thread", {"interruptedImpl"}, false, false, 8},
      {"java/lang/Thread", {"currentThread"}, false, false, 8},
      // Intrinsic candidates of either annotation are skipped.
      {"com/example/Natives", {"hint", "()V", ACC_NATIVE, hotSpotIntrinsic}, false},
      {"com/example/Natives", {"hint", "()V", ACC_NATIVE, vmIntrinsic}, false},
      {"com/example/Natives", {"hint", "()V", ACC_NATIVE, "Ljdk/internal/vm/annotation/ForceInline;"}, true},
      // The native half of a wrapper already.
      {"com/example/Natives", {"$$BZP$$read"}, false},
  };
  for (const AssembledCase& c : cases) {
    SCOPED_TRACE(std::string(c.className) + "." + c.native.name + (c.ibm ? " IBM" : "") + " on " +
                 std::to_string(c.javaVersion));
    const ScopedValue<bool> isIbm(ourIsIbm, c.ibm);
    const ScopedValue<int32_t> javaVersion(ourJavaVersion, c.javaVersion);
    const ParsedClass parsed(assembledClass(c.className, {c.native}).bytes);
    EXPECT_EQ(wrapNativeMethods(*parsed), c.wrapped);
    EXPECT_EQ(parsed->getMethods().size, c.wrapped ? 2 : 1);
    EXPECT_EQ(parsed->getMethods()[0]->isNative(), !c.wrapped);
  }
}

TEST_F(NativeWrapping, WrappedNativesHaveRecordsBeforeTheirFirstCall) {
  const ParsedClass thread(jdkClassBytes("java/lang/Thread"));
  ASSERT_TRUE(wrapNativeMethods(*thread));
  const int32_t later = getOrCreateMethod("test.Probe", "later", "()", "void", "Probe.java", false);
  const int32_t sleep = getOrCreateMethod("java.lang.Thread", "sleep", "(long)", "void", "Thread.java", true);
  EXPECT_LT(sleep, later);
  EXPECT_NE(getMethodFlags(sleep) & methodNative, 0);
  // A skipped native gets none.
  EXPECT_GT(getOrCreateMethod("java.lang.Thread", "yield", "()", "void", "Thread.java", true), later);
}

TEST_F(NativeWrapping, BciLogsEachNativeOnce) {
  const AssembledClass assembled = assembledClass(
      "com/example/Natives", {{"read", "(J[B)I"}, {"hint", "(Ljava/lang/String;)V", ACC_NATIVE, vmIntrinsic}});
  const AssembledClass disabled = assembledClass("java/lang/ClassValue", {{"compute", "(I)V"}});
  const DebugCategory bci("bci");
  LogCapture log;
  const ParsedClass parsed(assembled.bytes);
  EXPECT_TRUE(wrapNativeMethods(*parsed));
  const ParsedClass disabledClass(disabled.bytes);
  EXPECT_FALSE(wrapNativeMethods(*disabledClass));
  // The added native halves are not among the class's methods as it came: they are not logged.
  const Names expected = {"bci: native wrapped: com.example.Natives read(long, byte[])",
                          "bci: native skipped: com.example.Natives hint(java.lang.String) // IntrinsicCandidate",
                          "bci: native skipped: java.lang.ClassValue compute(int)"};
  EXPECT_EQ(log.entries(), expected);
}

TEST_F(NativeWrapping, OnlyTheWrappedIntrinsicsAreLoggedWithoutBci) {
  LogCapture log;
  const ParsedClass system(jdkClassBytes("java/lang/System"));
  EXPECT_TRUE(wrapNativeMethods(*system));
  EXPECT_EQ(log.entries(), (Names{"native IntrinsicCandidate to wrap: currentTimeMillis",
                                  "native IntrinsicCandidate to wrap: arraycopy"}));
}

}  // namespace
