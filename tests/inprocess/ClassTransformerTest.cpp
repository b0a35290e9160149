#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLifecycle.h"
#include "agent/core/JavaVersion.h"
#include "agent/support/ClassNameSet.h"
#include "agent/instrumentation/ClassTransformer.h"
#include "agent/support/JvmtiUtils.h"
#include "tests/inprocess/JvmDatabaseTest.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedValue.h"
#include "tests/support/TempDir.h"
#include "tests/unit/classfile/ClassTestSupport.h"

// The road of a class through the transformer, with the JVM's JVMTI memory for the classes that come
// back changed.

namespace {

using classtest::ClassBuilder;

// A class with an instance method and a private native read(long, byte[]) int.
Bytes classWithNative(const std::string& name, int32_t majorVersion = 52, int32_t accessFlags = 0x21) {
  ClassBuilder builder(majorVersion);
  builder.accessFlags = accessFlags;
  builder.thisClass = builder.classNamed(name);
  builder.superClass = builder.classNamed("java/lang/Object");
  const int32_t code = builder.utf8("Code");
  const int32_t run = builder.utf8("run");
  const int32_t voidDescriptor = builder.utf8("()V");
  builder.methods.push_back(ClassBuilder::member(0x1, run, voidDescriptor, {ClassBuilder::code(code, 0, 1, {0xB1})}));
  builder.methods.push_back(ClassBuilder::member(0x102, builder.utf8("read"), builder.utf8("(J[B)I")));
  return builder.build();
}

// What transformClass handed back; a changed class is given back to JVMTI when the result goes.
struct Outcome {
  jint length = 0;
  unsigned char* data = nullptr;
  ~Outcome() {
    if (data != nullptr) jvmtiDeallocate(data);
  }
  bool changed() const { return data != nullptr && length > 0; }
  Bytes bytes() const { return Bytes(data, data + length); }
};

void transform(const std::string& name, const Bytes& bytes, Outcome& outcome, bool shouldWrapNatives = true) {
  transformClass(YString(name.c_str()), jint(bytes.size()), bytes.data(), &outcome.length, &outcome.data,
                 shouldWrapNatives, false);
}

std::vector<std::string> methodsOf(const Bytes& bytes) {
  const classtest::ParsedClass parsed(bytes);
  std::vector<std::string> described;
  const YVector<MethodInfo*>& methods = parsed->getMethods();
  for (int32_t i = 0; i < methods.size; i++) {
    const MethodInfo& method = *methods[i];
    described.push_back(classtest::text(method.getName()) + classtest::text(method.getDescriptor()) +
                        (method.isNative() ? " native" : "") + (method.getCodeAttribute() != nullptr ? " code" : ""));
  }
  return described;
}

// Sets agentFlags for the life of the object, then puts back what it was.
class AgentFlagsValue {
 public:
  explicit AgentFlagsValue(uint64_t value) : saved(agentFlags.load()) { agentFlags.store(value); }
  ~AgentFlagsValue() { agentFlags.store(saved); }
  AgentFlagsValue(const AgentFlagsValue&) = delete;
  AgentFlagsValue& operator=(const AgentFlagsValue&) = delete;

 private:
  const uint64_t saved;
};

// Every entry of the log, one per line.
std::string logText(const LogCapture& log) {
  std::string text;
  for (const std::string& entry : log.entries()) text += entry + "\n";
  return text;
}

bool logHas(const LogCapture& log, const std::string& piece) { return logText(log).find(piece) != std::string::npos; }

class ClassTransformer : public JvmDatabaseTest {
 protected:
  ScopedValue<int32_t> javaVersion{ourJavaVersion, 17};
};

}  // namespace

TEST_F(ClassTransformer, SkipRulesLeaveTheClassAsTheJvmGaveIt) {
  struct Case {
    const char* name;
    Bytes bytes;
    const char* logged;  // a line the skip writes whatever the debug settings, null for none
  };
  const Bytes invalid = {0xCA, 0xFE, 0xBA, 0xBE, 0, 0, 0, 52, 0, 2, 99, 0, 0, 0};
  const Case cases[] = {
      {"sun/misc/Unsafe", classWithNative("sun/misc/Unsafe"), nullptr},
      {"sun/misc/Unsafe$X", classWithNative("sun/misc/Unsafe$X"), nullptr},
      {"jdk/internal/misc/Unsafe", classWithNative("jdk/internal/misc/Unsafe"), nullptr},
      {"java/lang/Module$ReflectionData", classWithNative("java/lang/Module$ReflectionData"), nullptr},
      {"java/lang/WeakPairMap$Pair", classWithNative("java/lang/WeakPairMap$Pair"), nullptr},
      {"com/brantel/runtime/Core", classWithNative("com/brantel/runtime/Core"), nullptr},
      {"com/brantel/probes/tallyscope/Threads", classWithNative("com/brantel/probes/tallyscope/Threads"), nullptr},
      {"com/brantel/Natives", classWithNative("com/brantel/Natives"), nullptr},
      {"com/brantel/Constants", classWithNative("com/brantel/Constants"), nullptr},
      {"app/Old", classWithNative("app/Old", 51, 0x601), nullptr},
      {"app/Short", {0xCA, 0xFE, 0xBA}, "app/Short: skipping non-CAFEBABE"},
      {"app/Text", {'j', 'a', 'v', 'a', 0, 0, 0, 52}, "app/Text: skipping non-CAFEBABE"},
      {"app/Invalid", invalid, "app/Invalid: invalid class"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    Outcome outcome;
    transform(c.name, c.bytes, outcome);
    EXPECT_FALSE(outcome.changed());
    EXPECT_EQ(outcome.length, 0);
    if (c.logged != nullptr) {
      EXPECT_TRUE(logHas(log, c.logged)) << logText(log);
    }
  }
}

TEST_F(ClassTransformer, NativesOfAnApplicationClassGetJavaBodiesAndTheClassIsRemembered) {
  Outcome outcome;
  transform("app/Natives", classWithNative("app/Natives"), outcome);
  ASSERT_TRUE(outcome.changed());
  EXPECT_EQ(methodsOf(outcome.bytes()),
            (std::vector<std::string>{"run()V code", "read(J[B)I code", "$$BZP$$read(J[B)I native"}));
  const YVector<YString>* bucket = nameSetGet(wrappedNativesClasses(), classNameHash(YString("app/Natives")));
  ASSERT_NE(bucket, nullptr);
  EXPECT_TRUE(containsClassName(*bucket, YString("app/Natives")));

  // Without native wrapping there is nothing to do for this class.
  Outcome unwrapped;
  transform("app/Natives", classWithNative("app/Natives"), unwrapped, false);
  EXPECT_FALSE(unwrapped.changed());
}

TEST_F(ClassTransformer, WithoutInstrumentationOrWrappingAClassIsNotEvenParsed) {
  const AgentFlagsValue noInstrumentation(0);
  LogCapture log;
  Outcome outcome;
  // Malformed bytes would fail the parse and be logged.
  const Bytes invalid = {0xCA, 0xFE, 0xBA, 0xBE, 0, 0, 0, 52, 0, 2, 99, 0, 0, 0};
  transform("app/Untouched", invalid, outcome, false);
  EXPECT_FALSE(outcome.changed());
  EXPECT_FALSE(logHas(log, "invalid class")) << logText(log);
}

TEST_F(ClassTransformer, AnAttachedAgentLeavesClassesAloneUntilItsJavaSideIsInitialised) {
  const AgentFlagsValue attached(AGENT_FLAGS_INITIAL | AGENT_ATTACH_MODE);
  LogCapture log;
  Outcome outcome;
  transform("app/Early", classWithNative("app/Early"), outcome);
  EXPECT_FALSE(outcome.changed());
  EXPECT_TRUE(logHas(log, "app/Early: no init yet")) << logText(log);
}

TEST_F(ClassTransformer, TheCallbackClassUsesTheJdksInternalUnsafeFromJava9On) {
  ClassBuilder builder;
  builder.thisClass = builder.classNamed("com/brantel/runtime/Callback");
  builder.superClass = builder.classNamed("java/lang/Object");
  const int32_t field = builder.utf8("Lsun/misc/Unsafe;");
  const int32_t method = builder.utf8("compareAndSwapLong");
  Outcome outcome;
  transform("com/brantel/runtime/Callback", builder.build(), outcome);
  ASSERT_TRUE(outcome.changed());
  const classtest::ParsedClass parsed(outcome.bytes());
  EXPECT_EQ(classtest::utf8Text(*parsed, field), "Ljdk/internal/misc/Unsafe;");
  EXPECT_EQ(classtest::utf8Text(*parsed, method), "compareAndSetLong");

  const ScopedValue<int32_t> java8(ourJavaVersion, 8);
  Outcome onJava8;
  transform("com/brantel/runtime/Callback", builder.build(), onJava8);
  EXPECT_FALSE(onJava8.changed());
}

TEST_F(ClassTransformer, DumpsTheClassBeforeAndAfterUnderNumberedNames) {
  TempDir dumps;
  const std::string directory = dumps.pathOf("classes");
  const std::string token = "_dump_classes=" + directory;
  const HiddenOption dump(token.c_str());
  Outcome first;
  transform("app/Natives", classWithNative("app/Natives"), first);
  Outcome second;
  transform("app/pkg/Other", classWithNative("app/pkg/Other"), second);
  namespace fs = std::filesystem;
  EXPECT_TRUE(fs::exists(directory + "/app_Natives_1_before.class"));
  EXPECT_TRUE(fs::exists(directory + "/app_Natives_1.class"));
  EXPECT_TRUE(fs::exists(directory + "/app_pkg_Other_2_before.class"));
  EXPECT_EQ(fs::file_size(directory + "/app_Natives_1.class"), size_t(first.length));
}

TEST_F(ClassTransformer, AClassThatWouldOverflowItsPoolGoesBackUnchanged) {
  ClassBuilder builder;
  builder.thisClass = builder.classNamed("app/Crowded");
  builder.superClass = builder.classNamed("java/lang/Object");
  builder.utf8("Code");
  builder.methods.push_back(ClassBuilder::member(0x102, builder.utf8("read"), builder.utf8("(J[B)I")));
  // The wrapper adds three entries (its method's name, the name and type, the method reference): the
  // last index is then 0xFFFF and the pool holds 0x10000 entries, one more than a class file can.
  for (int32_t i = 0; builder.integer(i) < 0xFFFC;) i++;
  LogCapture log;
  Outcome outcome;
  transform("app/Crowded", builder.build(), outcome);
  EXPECT_FALSE(outcome.changed());
  EXPECT_TRUE(logHas(log, "warning: resulting constant pool is too big")) << logText(log);
}

TEST_F(ClassTransformer, TheHookTakesTheNameFromTheClassAndSurvivesAMalformedOne) {
  const Bytes bytes = classWithNative("app/Unnamed");
  jint length = 0;
  unsigned char* data = nullptr;
  ClassFileLoadHook(mainJvmti, env, nullptr, nullptr, nullptr, nullptr, jint(bytes.size()), bytes.data(), &length,
                    &data);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(methodsOf(Bytes(data, data + length)).back(), "$$BZP$$read(J[B)I native");
  jvmtiDeallocate(data);

  // A pool entry that runs past the end of the class: the parse fails hard, the hook catches it.
  Bytes cut = bytes;
  cut.resize(40);
  LogCapture log;
  length = 7;
  data = nullptr;
  ClassFileLoadHook(mainJvmti, env, nullptr, nullptr, "app/Cut", nullptr, jint(cut.size()), cut.data(), &length, &data);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(length, 0);
  EXPECT_TRUE(logHas(log, "warning: the previous exception happened while processing app/Cut")) << logText(log);
}
