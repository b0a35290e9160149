#include <gtest/gtest.h>
#include <jvmti.h>

#include <cstring>

#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/Generations.h"
#include "agent/support/NamedLocks.h"
#include "tests/inprocess/InProcessJvm.h"
#include "tests/support/TestDatabase.h"

namespace {

class Generations : public JvmTest {
 protected:
  jlong tagOf(jobject object) {
    jlong tag = -1;
    EXPECT_EQ(mainJvmti->GetTag(object, &tag), JVMTI_ERROR_NONE);
    return tag;
  }

  void setTag(jobject object, jlong tag) { EXPECT_EQ(mainJvmti->SetTag(object, tag), JVMTI_ERROR_NONE); }

  // A new object with tag 0. The heap walk may have tagged the filler where it lands, which a new
  // object then seems to carry, so the tag is cleared by hand.
  jobject newObject() {
    const jclass objectClass = env->FindClass("java/lang/Object");
    const jobject object = env->NewObject(objectClass, env->GetMethodID(objectClass, "<init>", "()V"));
    setTag(object, 0);
    return object;
  }

  TestDatabase database;
};

constexpr jlong generationBits(int32_t generation) { return jlong(uint64_t(uint32_t(generation)) << 32); }

TEST_F(Generations, ObjectsKeepTheGenerationInWhichTheyWereFirstSeen) {
  const jobject untagged = newObject();
  const jobject numbered = newObject();
  const jobject seenBefore = newObject();
  setTag(numbered, 5);
  setTag(seenBefore, generationBits(9) | 3);
  YCriticalSectionLock held(&ourLock(), "GenerationsTest:1");

  startGeneration(held, env, "first");
  ASSERT_EQ(getCurrentGeneration(), 1);
  EXPECT_EQ(tagOf(untagged), generationBits(1));
  EXPECT_EQ(tagOf(numbered), generationBits(1) | 5);
  EXPECT_EQ(tagOf(seenBefore), generationBits(9) | 3);

  const jobject later = newObject();
  startGeneration(held, env, "second");
  ASSERT_EQ(getCurrentGeneration(), 2);
  EXPECT_EQ(tagOf(untagged), generationBits(1));
  EXPECT_EQ(tagOf(numbered), generationBits(1) | 5);
  EXPECT_EQ(tagOf(later), generationBits(2));
  for (const jobject object : {untagged, numbered, seenBefore, later}) setTag(object, 0);
}

TEST_F(Generations, EachGenerationIsARowWithItsNameAndUptime) {
  YCriticalSectionLock held(&ourLock(), "GenerationsTest:2");
  database->currentStamp = 4;
  startGeneration(held, env, "JVM initialization");
  startGeneration(held, env, "JVM initialization");

  for (int32_t id = 1; id <= 2; id++) {
    const GenerationRecord* row = database->generations.getRow(id, false);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->stamp, 4);
    EXPECT_STREQ(database->strings.getRow(row->nameId, false)->body, "JVM initialization");
    EXPECT_GE(row->time, 0);
  }
  EXPECT_LE(database->generations.getRow(1, false)->time, database->generations.getRow(2, false)->time);
  EXPECT_EQ(database->generations.getRow(3, false), nullptr);
}

}  // namespace
