#include <gtest/gtest.h>
#include <jni.h>
#include <jvmti.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLoad.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/DB.h"
#include "agent/db/SnapshotFile.h"
#include "agent/recording/InstanceCounts.h"
#include "agent/support/NamedLocks.h"
#include "tests/inprocess/CallbackFixture.h"
#include "tests/support/FreshProcess.h"
#include "tests/support/HiddenOption.h"
#include "tests/support/LoopbackSockets.h"
#include "tests/support/SnapshotReader.h"
#include "tests/support/TableReplyReader.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestDatabase.h"

// The live instances of each class, counted for table replies and snapshots, read back as a client reads them.

namespace {

using namespace std::chrono_literals;

constexpr int32_t countBit = 1 << tableInstanceCount;
constexpr int32_t stringBit = 1 << tableString;

// An "instance_count" row as it came off the stream.
struct CountRow {
  int32_t stamp = 0;
  int64_t nameId = 0;
  int64_t count = 0;
  int64_t size = 0;
};

// The row `id` among `rows`; stamp 0 when it is not there.
CountRow countRowOf(const std::vector<rowstream::Row>& rows, int32_t id) {
  for (const rowstream::Row& row : rows) {
    if (row.index == id) return {row.stamp, row.values.at(0), row.values.at(1), row.values.at(2)};
  }
  return {};
}

std::string stringOf(const std::vector<rowstream::Row>& strings, int64_t id) {
  for (const rowstream::Row& row : strings) {
    if (row.index == id && row.text) return *row.text;
  }
  return "<no string " + std::to_string(id) + ">";
}

class InstanceCountsInJvm : public CallbackTest {
 protected:
  void SetUp() override {
    CallbackTest::SetUp();
    // Class ids are tags of this environment: a fresh one per database keeps the tests apart.
    javaVm = inProcessJvm();
    savedCountingJvmti = instanceCountJvmti;
    instanceCountJvmti = createJvmtiEnvironment(false);
  }
  void TearDown() override {
    instanceCountJvmti->DisposeEnvironment();
    instanceCountJvmti = savedCountingJvmti;
    CallbackTest::TearDown();
  }

  // CountedInstance loaded once more, in a loader of its own: no other test has objects of it.
  jclass freshClass() {
    const jclass loader = env->FindClass("SecondLoader");
    const jmethodID loadAgain = env->GetStaticMethodID(loader, "loadAgain", "(Ljava/lang/String;)Ljava/lang/Class;");
    const auto loaded = static_cast<jclass>(env->CallStaticObjectMethod(loader, loadAgain, string("CountedInstance")));
    EXPECT_FALSE(env->ExceptionCheck());
    return loaded;
  }

  // `count` new instances of `klass`, kept alive by the array returned.
  jobject make(jclass klass, jint count) {
    const jobject made =
        env->CallStaticObjectMethod(klass, env->GetStaticMethodID(klass, "make", "(I)[Ljava/lang/Object;"), count);
    EXPECT_FALSE(env->ExceptionCheck());
    return made;
  }

  jlong sizeOfOne(jclass klass) {
    const jobject array = make(klass, 1);
    const jobject one = env->GetObjectArrayElement(static_cast<jobjectArray>(array), 0);
    jlong size = 0;
    EXPECT_EQ(instanceCountJvmti->GetObjectSize(one, &size), JVMTI_ERROR_NONE);
    env->DeleteLocalRef(one);
    env->DeleteLocalRef(array);
    return size;
  }

  // The class's row id: its tag on the counting environment, 0 before a count has seen it.
  int32_t rowIdOf(jclass klass) {
    jlong tag = -1;
    EXPECT_EQ(instanceCountJvmti->GetTag(klass, &tag), JVMTI_ERROR_NONE);
    return int32_t(tag);
  }

  void collectGarbage() {
    const jclass system = env->FindClass("java/lang/System");
    env->CallStaticVoidMethod(system, env->GetStaticMethodID(system, "gc", "()V"));
    ASSERT_FALSE(env->ExceptionCheck());
  }

  // A table reply through the writeTables native, every table since `since`.
  tablereply::Reply reply(int32_t mask, jint since) {
    loopback::Connection connection(0, 0);
    callVoid("writeTables", "(II[I)V", jint(connection.sender()), jint(mask),
             intArray(std::vector<jint>(tableCount, since)));
    EXPECT_EQ(pendingRuntimeException(), "<none>");
    return tablereply::parseTableReply(connection.drain(300ms));
  }

  // A snapshot through the captureSnapshot native; the reason it failed, "<null>" on success.
  std::string capture(const std::string& path) {
    const uint64_t savedFlags = agentFlags.exchange(AGENT_NO_SUSPEND);
    const jobject result =
        callObject("captureSnapshot", "(Ljava/lang/String;IJ)Ljava/lang/String;", string(path.c_str()), 0, jlong(0));
    agentFlags = savedFlags;
    EXPECT_EQ(pendingRuntimeException(), "<none>");
    return textOf(result);
  }

  TestDatabase database;
  jvmtiEnv* savedCountingJvmti = nullptr;
};

TEST_F(InstanceCountsInJvm, LiveInstancesAreCountedWithTheirSizeAndZeroOnceCollected) {
  const jclass counted = freshClass();
  const jlong size = sizeOfOne(counted);
  ASSERT_GT(size, 0);
  const jobject alive = make(counted, 7);
  collectGarbage();  // the one made for its size

  const tablereply::Reply first = reply(stringBit | countBit, 0);
  const int32_t id = rowIdOf(counted);
  ASSERT_GT(id, 0);
  const CountRow row = countRowOf(first.tables.at(tableInstanceCount), id);
  EXPECT_GT(row.stamp, 0);
  EXPECT_EQ(row.count, 7);
  EXPECT_EQ(row.size, 7 * size);
  EXPECT_EQ(stringOf(first.tables.at(tableString), row.nameId), "CountedInstance");

  env->DeleteLocalRef(alive);
  collectGarbage();
  const tablereply::Reply second = reply(countBit, row.stamp);
  const CountRow dropped = countRowOf(second.tables.at(tableInstanceCount), id);
  EXPECT_GT(dropped.stamp, row.stamp) << "the changed row is stamped anew";
  EXPECT_EQ(dropped.count, 0);
  EXPECT_EQ(dropped.size, 0);
  EXPECT_EQ(dropped.nameId, row.nameId);

  // Nothing changed since: the row is not sent again.
  const tablereply::Reply third = reply(countBit, dropped.stamp);
  EXPECT_EQ(countRowOf(third.tables.at(tableInstanceCount), id).stamp, 0);
}

TEST_F(InstanceCountsInJvm, ARequestWithoutTheInstanceCountTableCountsNothing) {
  const jclass counted = freshClass();
  make(counted, 3);
  reply(countBit, 0);
  const int32_t id = rowIdOf(counted);
  const InstanceCountRecord before = *database->instanceCounts.getRow(id, false);
  ASSERT_EQ(before.instanceCount, 3);

  make(counted, 2);
  const jclass unseen = freshClass();
  make(unseen, 4);
  for (const int32_t mask : {stringBit, allTablesMask & ~countBit, 0}) {
    SCOPED_TRACE(mask);
    reply(mask, 0);
    const InstanceCountRecord after = *database->instanceCounts.getRow(id, false);
    EXPECT_EQ(after.stamp, before.stamp);
    EXPECT_EQ(after.instanceCount, 3);
    EXPECT_EQ(after.totalSize, before.totalSize);
    EXPECT_EQ(rowIdOf(unseen), 0) << "no class is tagged without a count";
  }
  // The same without a reply around it.
  YCriticalSectionLock held(&ourLock(), "Test:1");
  InstanceCounts none(env, ~countBit);
  none.updateInstanceCounts(held);
  EXPECT_EQ(database->instanceCounts.getRow(id, false)->instanceCount, 3);
}

TEST_F(InstanceCountsInJvm, AClassLoadedBetweenTwoCountsGetsItsRowAtTheSecond) {
  const jclass early = freshClass();
  make(early, 2);
  const tablereply::Reply first = reply(stringBit | countBit, 0);
  const int32_t earlyId = rowIdOf(early);
  const CountRow earlyRow = countRowOf(first.tables.at(tableInstanceCount), earlyId);
  ASSERT_EQ(earlyRow.count, 2);

  const jclass late = freshClass();
  make(late, 5);
  const tablereply::Reply second = reply(stringBit | countBit, earlyRow.stamp);
  const int32_t lateId = rowIdOf(late);
  ASSERT_GT(lateId, 0);
  EXPECT_NE(lateId, earlyId);
  const CountRow lateRow = countRowOf(second.tables.at(tableInstanceCount), lateId);
  EXPECT_GT(lateRow.stamp, earlyRow.stamp);
  EXPECT_EQ(lateRow.count, 5);
  EXPECT_EQ(lateRow.nameId, earlyRow.nameId) << "the same name, sent with the first reply";
  // The early class kept its id, its name and its count: its row is not sent again.
  EXPECT_EQ(rowIdOf(early), earlyId);
  EXPECT_EQ(countRowOf(second.tables.at(tableInstanceCount), earlyId).stamp, 0);
  EXPECT_EQ(database->instanceCounts.getRow(earlyId, false)->classNameId, earlyRow.nameId);
}

TEST_F(InstanceCountsInJvm, ASnapshotHoldsTheCountsOfItsMoment) {
  const jclass counted = freshClass();
  const jlong size = sizeOfOne(counted);
  make(counted, 4);
  collectGarbage();

  TempDir dir;
  const std::string path = dir.pathOf("counts.bzps");
  ASSERT_EQ(capture(path), "<null>");
  const snapshotfile::Snapshot snapshot = snapshotfile::readSnapshotFile(path);
  ASSERT_EQ(snapshot.tableRecords.size(), 1u);
  const auto& tables = snapshot.tableRecords[0].tables;
  const CountRow row = countRowOf(tables.at(tableInstanceCount), rowIdOf(counted));
  EXPECT_EQ(row.count, 4);
  EXPECT_EQ(row.size, 4 * size);
  EXPECT_EQ(stringOf(tables.at(tableString), row.nameId), "CountedInstance");
}

// A count whose snapshot could not be written tagged the class all the same; its name must still reach the row at the
// next count.
TEST_F(InstanceCountsInJvm, AClassFirstTaggedByACountNeverWrittenIsNamedAtTheNext) {
  const jclass counted = freshClass();
  make(counted, 1);
  TempDir dir;
  ASSERT_EQ(capture(dir.pathOf("missing/counts.bzps")), "Cannot open file to write snapshot");
  const int32_t id = rowIdOf(counted);
  ASSERT_GT(id, 0) << "the count ran before the file was opened";
  EXPECT_EQ(database->instanceCounts.getRow(id, false), nullptr);

  const tablereply::Reply next = reply(stringBit | countBit, 0);
  const CountRow row = countRowOf(next.tables.at(tableInstanceCount), id);
  EXPECT_EQ(row.count, 1);
  EXPECT_EQ(stringOf(next.tables.at(tableString), row.nameId), "CountedInstance");
}

#ifndef _WIN32
// The option is read once per process, so the run has a process of its own.
TEST_F(InstanceCountsInJvm, TheHiddenOptionSparesSnapshotsThatAreNotMemorySnapshots) {
  inFreshProcess([this]() -> std::string {
    HiddenOption spared("_no_instance_count_on_perf_snapshot_capture");
    const jclass counted = freshClass();
    make(counted, 3);
    TempDir dir;
    const std::string path = dir.pathOf("spared.bzps");
    if (capture(path) != "<null>") return "the capture failed";
    if (rowIdOf(counted) != 0) return "the class was tagged";
    const snapshotfile::Snapshot snapshot = snapshotfile::readSnapshotFile(path);
    if (!snapshot.tableRecords.at(0).tables.at(tableInstanceCount).empty()) return "instance_count rows were written";
    return "";
  });
}
#endif

}  // namespace
