#include <gtest/gtest.h>
#include <jvmti.h>

#include <set>
#include <string>

#include "agent/core/JvmtiEnvironments.h"
#include "agent/recording/MethodStore.h"
#include "tests/inprocess/FrameRows.h"
#include "tests/inprocess/JavaFixtures.h"
#include "tests/inprocess/JvmDatabaseTest.h"

// Method records made from what the JVM tells of real methods, and the lines of their locations.

namespace {

using JvmMethodRecords = JvmDatabaseTest;

jmethodID methodOf(JNIEnv* env, jclass owner, const char* name, const char* descriptor, bool isStatic) {
  const jmethodID method = isStatic ? env->GetStaticMethodID(owner, name, descriptor)
                                    : env->GetMethodID(owner, name, descriptor);
  EXPECT_NE(method, nullptr) << name << descriptor;
  return method;
}

}  // namespace

TEST_F(JvmMethodRecords, TheTextsAndFlagsOfAMethodComeFromItsClassAndDescriptor) {
  struct Case {
    const char* owner;
    const char* name;
    const char* descriptor;
    bool isStatic;
    std::string record;
  };
  const Case cases[] = {
      {"MethodShapes", "nativeSum", "([ID)J", true, "MethodShapes.nativeSum(int[], double) long [MethodShapes.java] flags 0x800"},
      {"MethodShapes", "grid", "(Ljava/util/List;CZ)[[Ljava/lang/String;", true,
       "MethodShapes.grid(java.util.List, char, boolean) java.lang.String[][] [MethodShapes.java]"},
      {"MethodShapes$Inner", "<init>", "(LMethodShapes;)V", false,
       "MethodShapes$Inner.<init>(MethodShapes) void [MethodShapes.java]"},
      // Compiled without a source file attribute.
      {"NoDebugInfo", "twice", "(I)I", true, "NoDebugInfo.twice(int) int []"},
      {"java/lang/Object", "hashCode", "()I", false, "java.lang.Object.hashCode() int [Object.java] flags 0x800"},
      {"java/util/Map$Entry", "getKey", "()Ljava/lang/Object;", false,
       "java.util.Map$Entry.getKey() java.lang.Object [Map.java]"},
  };
  std::set<int32_t> ids;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.record);
    const jclass owner = env->FindClass(c.owner);
    ASSERT_NE(owner, nullptr);
    const jmethodID method = methodOf(env, owner, c.name, c.descriptor, c.isStatic);
    const int32_t id = getMethodIdOfJMethod(env, method);
    EXPECT_EQ(describeMethod(id), c.record);
    EXPECT_EQ(getMethodIdOfJMethod(env, method), id);
    ids.insert(id);
    env->DeleteLocalRef(owner);
  }
  EXPECT_EQ(ids.size(), sizeof cases / sizeof cases[0]);
}

// The same class loaded by another loader has other jmethodIDs; its methods have the same texts and so
// the same records.
TEST_F(JvmMethodRecords, EqualTextsOfAnotherClassLoaderGiveTheSameRecord) {
  const jclass lineTable = env->FindClass("LineTable");
  const jclass loader = env->FindClass("SecondLoader");
  ASSERT_NE(lineTable, nullptr);
  ASSERT_NE(loader, nullptr);
  const auto again = static_cast<jclass>(env->CallStaticObjectMethod(
      loader, env->GetStaticMethodID(loader, "loadAgain", "(Ljava/lang/String;)Ljava/lang/Class;"),
      env->NewStringUTF("LineTable")));
  ASSERT_FALSE(env->ExceptionCheck());
  ASSERT_NE(again, nullptr);
  ASSERT_FALSE(env->IsSameObject(again, lineTable));
  const jmethodID first = methodOf(env, lineTable, "steps", "(I)I", true);
  const jmethodID second = methodOf(env, again, "steps", "(I)I", true);
  ASSERT_NE(first, second);
  const int32_t id = getMethodIdOfJMethod(env, first);
  EXPECT_EQ(getMethodIdOfJMethod(env, second), id);
  EXPECT_EQ(describeMethod(id), "LineTable.steps(int) int [LineTable.java]");
}

TEST_F(JvmMethodRecords, TheLineOfALocationIsThatOfTheLineTableEntryAtOrBeforeIt) {
  const jclass lineTable = env->FindClass("LineTable");
  ASSERT_NE(lineTable, nullptr);
  const jmethodID steps = methodOf(env, lineTable, "steps", "(I)I", true);
  const int32_t id = getMethodIdOfJMethod(env, steps);
  jlocation start = 0;
  jlocation end = 0;
  ASSERT_EQ(mainJvmti->GetMethodLocation(steps, &start, &end), JVMTI_ERROR_NONE);
  std::set<int32_t> lines;
  for (jlocation location = start; location <= end; location++) lines.insert(getLineOfLocation(steps, id, location));
  const int32_t first = javaSourceLine("LineTable.java", "steps-first");
  const int32_t last = javaSourceLine("LineTable.java", "steps-return");
  EXPECT_EQ(lines, (std::set<int32_t>{first, javaSourceLine("LineTable.java", "steps-loop"),
                                      javaSourceLine("LineTable.java", "steps-body"), last}));
  EXPECT_EQ(getLineOfLocation(steps, id, start), first);
  EXPECT_EQ(getLineOfLocation(steps, id, end), last);
  // Beyond the code the last entry still holds; asked again, the remembered answers are the same.
  EXPECT_EQ(getLineOfLocation(steps, id, end + 100), last);
  EXPECT_EQ(getLineOfLocation(steps, id, start), first);
  EXPECT_EQ(getLineOfLocation(steps, id, -1), 0);

  // A method without a line table has no line anywhere.
  const jclass noDebugInfo = env->FindClass("NoDebugInfo");
  ASSERT_NE(noDebugInfo, nullptr);
  const jmethodID twice = methodOf(env, noDebugInfo, "twice", "(I)I", true);
  jint count = 0;
  jvmtiLineNumberEntry* table = nullptr;
  ASSERT_EQ(mainJvmti->GetLineNumberTable(twice, &count, &table), JVMTI_ERROR_ABSENT_INFORMATION);
  const int32_t twiceId = getMethodIdOfJMethod(env, twice);
  for (const jlocation location : {jlocation(0), jlocation(1), jlocation(-5)}) {
    EXPECT_EQ(getLineOfLocation(twice, twiceId, location), 0) << location;
  }
}
