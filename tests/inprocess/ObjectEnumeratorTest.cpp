#include <gtest/gtest.h>
#include <jvmti.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "agent/core/AgentFlags.h"
#include "agent/core/AgentLoad.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/core/JvmtiEvents.h"
#include "agent/db/Clears.h"
#include "agent/db/DB.h"
#include "agent/recording/ObjectEnumerator.h"
#include "agent/recording/ThreadEnd.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/recording/YNodeTree.h"
#include "agent/support/Stopwatch.h"
#include "tests/inprocess/JvmDatabaseTest.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedValue.h"

namespace {

constexpr jlong generationBits(int32_t generation) { return jlong(uint64_t(uint32_t(generation)) << 32); }

uint64_t nowMs() { return uint64_t(stopwatchElapsedMs(agentUptimeStopwatch())); }

std::vector<std::string> entriesStartingWith(const LogCapture& log, const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& entry : log.entries()) {
    if (entry.compare(0, prefix.size(), prefix) == 0) found.push_back(entry);
  }
  return found;
}

// A fresh enumerator, a fresh database and a registered thread, on the main thread of a real JVM whose
// objects carry the tags; every object made is untagged again afterwards.
class ObjectEnumeratorTest : public JvmDatabaseTest {
 protected:
  ObjectEnumerator enumerator;
  ThreadInfo* thread = nullptr;
  std::vector<jobject> made;
  int64_t savedUptimeStart = 0;

  void SetUp() override {
    JvmDatabaseTest::SetUp();
    // An uptime longer than any age a test gives.
    savedUptimeStart = agentUptimeStopwatch().start.fetch_sub(int64_t(10) * 1000 * 1000 * 1000);
    thread = startThread();
  }
  void TearDown() override {
    for (const jobject object : made) mainJvmti->SetTag(object, 0);
    retire(thread);
    agentUptimeStopwatch().start.store(savedUptimeStart);
    JvmDatabaseTest::TearDown();
  }

  ThreadInfo* startThread() {
    ThreadInfo* started = new ThreadInfo(YString("worker"), YString("main"), 0, 0, nullptr, false);
    threadRegistry().liveThreads.add(reinterpret_cast<int64_t>(started));
    return started;
  }
  void retire(ThreadInfo* started) {
    threadRegistry().liveThreads.remove(reinterpret_cast<int64_t>(started));
    delete started;
  }

  jobject newObject(jlong tag = 0) {
    const jclass objectClass = env->FindClass("java/lang/Object");
    const jobject object = env->NewObject(objectClass, env->GetMethodID(objectClass, "<init>", "()V"));
    // The heap walks of other tests may have tagged the memory a new object takes.
    EXPECT_EQ(mainJvmti->SetTag(object, tag), JVMTI_ERROR_NONE);
    made.push_back(object);
    return object;
  }
  jlong tagOf(jobject object) {
    jlong tag = -1;
    EXPECT_EQ(mainJvmti->GetTag(object, &tag), JVMTI_ERROR_NONE);
    return tag;
  }
  // A new object recorded as allocated by `by` at `site`; its tag.
  jlong allocate(ThreadInfo* by, int32_t site) {
    const jobject object = newObject();
    enumerator.createObjectAllocator(object, by, site);
    return tagOf(object);
  }
  // Makes the recorded object `ageMs` old.
  void age(jlong tag, uint64_t ageMs) { enumerator.findRecord(pureTagOf(tag))->allocationTime = nowMs() - ageMs; }
  ObjectRecord recordOf(jlong tag) {
    ObjectRecord record;
    enumerator.getRecord(tag, record);
    return record;
  }
  int64_t agesOf(ThreadInfo* by, int32_t site) {
    return enumerator.ages.get(int64_t(uint64_t(by->sequenceNumber) << 32 | uint32_t(site)));
  }
  // The collected-object lifetime of the thread's row for the frame; -1 without a row.
  int64_t lifetimeOf(ThreadInfo* by, int32_t frame) {
    const int32_t pair = db->getThreadFrameId(by->threadNumber, frame, false);
    if (pair < 0) return -1;
    const AllocInfoRecord* row = db->allocInfo.getRow(pair, false);
    return row == nullptr || row->stamp < 1 ? -1 : row->collectedObjectAges;
  }
  // A node of the thread's tree: a call of method `method` below `parent`.
  int32_t nodeOf(ThreadInfo* by, int32_t method, int32_t parent = 0) {
    return getThreadNodeTree(by)->getChild(parent, method, 0);
  }
};

TEST_F(ObjectEnumeratorTest, RecordsAreNumberedFromOneAndTheLastReleasedNumberComesBackFirst) {
  const uint64_t before = nowMs();
  const jlong first = allocate(thread, 7);
  const jlong second = allocate(thread, -3);
  const jlong third = allocate(nullptr, 0);
  const uint64_t after = nowMs();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
  EXPECT_EQ(third, 3);

  const ObjectRecord record = recordOf(second);
  EXPECT_GE(record.allocationTime, before);
  EXPECT_LE(record.allocationTime, after);
  EXPECT_EQ(record.thread, thread->sequenceNumber);
  EXPECT_EQ(record.site, -3);
  EXPECT_EQ(record.snapshotNumber, 0);
  EXPECT_EQ(record.objectMapId, 0u);
  EXPECT_EQ(record.inUse, 1);

  enumerator.onObjectFree(first);
  enumerator.onObjectFree(third);
  EXPECT_EQ(recordOf(third).inUse, 0);
  EXPECT_EQ(recordOf(third).allocationTime, 0u);
  EXPECT_EQ(allocate(thread, 1), 3);
  EXPECT_EQ(allocate(thread, 1), 1);
  EXPECT_EQ(allocate(thread, 1), 4);
}

TEST_F(ObjectEnumeratorTest, AFreeOfANumberNotInUseIsReportedAndReleasesNothing) {
  LogCapture log;
  const jlong tag = allocate(thread, 5);
  enumerator.onObjectFree(tag);
  enumerator.onObjectFree(tag);  // a second event for the same number
  enumerator.onObjectFree(77);   // never handed out, in a chunk that exists
  enumerator.onObjectFree(generationBits(2) | 100000);  // in no chunk
  EXPECT_EQ(entriesStartingWith(log, "warning: ObjectEnumerator::onObjectFree: unknown pureTag "),
            (std::vector<std::string>{"warning: ObjectEnumerator::onObjectFree: unknown pureTag 1",
                                      "warning: ObjectEnumerator::onObjectFree: unknown pureTag 77",
                                      "warning: ObjectEnumerator::onObjectFree: unknown pureTag 100000"}));

  // Two live objects never share a record.
  const jlong one = allocate(thread, 5);
  const jlong other = allocate(thread, 6);
  EXPECT_EQ(one, 1);
  EXPECT_EQ(other, 2);
  EXPECT_EQ(recordOf(one).site, 5);
  EXPECT_EQ(recordOf(other).site, 6);
}

TEST_F(ObjectEnumeratorTest, TagsWithoutALowHalfAboveZeroAreNotOurs) {
  LogCapture log;
  const jlong live = allocate(thread, 5);
  age(live, 10);
  for (const jlong tag : {jlong(0), generationBits(5), generationBits(5) | jlong(0x80000000u), jlong(-1)}) {
    SCOPED_TRACE(tag);
    enumerator.onObjectFree(tag);
    ObjectRecord record;
    record.inUse = 9;
    enumerator.getRecord(tag, record);
    EXPECT_EQ(record.inUse, 0);
  }
  EXPECT_TRUE(log.entries().empty());
  EXPECT_EQ(enumerator.ages.count, 0);
  EXPECT_EQ(enumerator.ids.peek(), 2);
  EXPECT_EQ(recordOf(live).inUse, 1);
}

TEST_F(ObjectEnumeratorTest, SetObjectIdKeepsTheGenerationOfTheTag) {
  LogCapture log;
  // Recorded already: only the object-map id changes.
  const jobject allocated = newObject();
  enumerator.createObjectAllocator(allocated, thread, 4);
  ASSERT_EQ(mainJvmti->SetTag(allocated, generationBits(3) | 1), JVMTI_ERROR_NONE);
  enumerator.setObjectID(allocated, 9);
  EXPECT_EQ(tagOf(allocated), generationBits(3) | 1);
  EXPECT_EQ(recordOf(1).objectMapId, 9u);
  EXPECT_EQ(recordOf(1).site, 4);

  // Seen by a generation but never numbered: a record of its own, with no allocation time.
  const jobject seen = newObject(generationBits(7));
  enumerator.setObjectID(seen, 42);
  EXPECT_EQ(tagOf(seen), generationBits(7) | 2);
  const ObjectRecord record = recordOf(tagOf(seen));
  EXPECT_EQ(record.objectMapId, 42u);
  EXPECT_EQ(record.allocationTime, 0u);
  EXPECT_EQ(record.thread, 0u);
  EXPECT_EQ(record.inUse, 1);
  EXPECT_TRUE(log.entries().empty());

  // A number whose record is gone is replaced.
  const jobject stale = newObject(generationBits(4) | 50);
  enumerator.setObjectID(stale, 43);
  EXPECT_EQ(tagOf(stale), generationBits(4) | 3);
  EXPECT_EQ(log.entries(), std::vector<std::string>{"warning: ObjectEnumerator::setObjectID: !myUsed for pureTag 50"});

  // Without an allocation time its death adds no age.
  enumerator.onObjectFree(tagOf(seen));
  EXPECT_EQ(enumerator.ages.count, 0);
}

TEST_F(ObjectEnumeratorTest, ClearForgetsTheAllocationButKeepsTheObjectMapIdAndSnapshotNumber) {
  const jobject object = newObject();
  enumerator.createObjectAllocator(object, thread, 6);
  enumerator.setObjectID(object, 11);
  enumerator.setSnapshotNumber(1, 8);
  enumerator.setSnapshotNumber(2, 5);  // not in use: no effect
  age(1, 100);

  enumerator.clear();
  const ObjectRecord record = recordOf(1);
  EXPECT_EQ(record.allocationTime, 0u);
  EXPECT_EQ(record.thread, 0u);
  EXPECT_EQ(record.site, 0);
  EXPECT_EQ(record.snapshotNumber, 8);
  EXPECT_EQ(record.objectMapId, 11u);
  EXPECT_EQ(record.inUse, 1);
  EXPECT_EQ(recordOf(2).inUse, 0);

  enumerator.onObjectFree(1);
  EXPECT_EQ(enumerator.ages.count, 0);
  EXPECT_EQ(enumerator.ids.peek(), 1);
}

TEST_F(ObjectEnumeratorTest, TheAgesOfEveryCollectedObjectOfASiteAreSummedIntoItsRow) {
  const int32_t node = nodeOf(thread, 21);
  const int32_t frame = thread->getFrameId(node);
  std::vector<jlong> atNode;
  for (const uint64_t ms : {100, 200, 300}) {
    atNode.push_back(allocate(thread, node));
    age(atNode.back(), ms);
  }
  const jlong atFrame = allocate(thread, -frame);
  age(atFrame, 50);
  const jlong atRoot = allocate(thread, 0);
  age(atRoot, 10);
  const uint64_t before = nowMs();
  for (const jlong tag : atNode) enumerator.onObjectFree(tag);
  enumerator.onObjectFree(atFrame);
  enumerator.onObjectFree(atRoot);
  const int64_t slack = int64_t(nowMs() - before) + 1;

  const int64_t summed = agesOf(thread, node);
  EXPECT_GE(summed, 600);
  EXPECT_LE(summed, 600 + 3 * slack);
  EXPECT_EQ(enumerator.ages.count, 3);

  db->currentStamp = 6;
  {
    YCriticalSectionLock enumerating(&enumerator.lock, "Test:2");
    enumerator.flushCollectedObjectAgesToDB();
  }
  // The node and the frame it stands for are one row.
  const int64_t atFrameAge = lifetimeOf(thread, frame);
  EXPECT_GE(atFrameAge, summed + 50);
  EXPECT_LE(atFrameAge, summed + 50 + slack);
  EXPECT_GE(lifetimeOf(thread, 0), 10);
  EXPECT_EQ(db->allocInfo.getRow(db->getThreadFrameId(thread->threadNumber, frame, false), false)->stamp, 6);
  EXPECT_EQ(enumerator.ages.count, 0);

  // A second flush adds to what the rows hold.
  const jlong later = allocate(thread, node);
  age(later, 1000);
  enumerator.onObjectFree(later);
  {
    YCriticalSectionLock enumerating(&enumerator.lock, "Test:3");
    enumerator.flushCollectedObjectAgesToDB();
  }
  EXPECT_GE(lifetimeOf(thread, frame), atFrameAge + 1000);
}

TEST_F(ObjectEnumeratorTest, AgesOfThreadsNoLongerLiveGoToTheEndedThreadsOrAreSkipped) {
  LogCapture log;
  const uint32_t gone = thread->sequenceNumber + 100;
  enumerator.ages.put(int64_t(uint64_t(gone) << 32 | uint32_t(-9)), 70);
  enumerator.ages.put(int64_t(uint64_t(gone) << 32 | 5u), 80);
  {
    YCriticalSectionLock enumerating(&enumerator.lock, "Test:4");
    enumerator.flushCollectedObjectAgesToDB();
  }
  EXPECT_EQ(lifetimeOf(oldestFinishedThreads, 9), 70);
  EXPECT_EQ(entriesStartingWith(log, "warning: flushCollectedObjectAgesToDB:"),
            std::vector<std::string>{"warning: flushCollectedObjectAgesToDB: trn=" + std::to_string(gone) + " node=5"});
  EXPECT_EQ(enumerator.ages.count, 0);
}

// Allocation recording has been started once (in the recording mode).
class FlushAgesTest : public ObjectEnumeratorTest {
 protected:
  ScopedValue<uint64_t> started{lastAllocationRecordingMode, 2};
};

TEST_F(FlushAgesTest, AtThreadEndTheAgesAreFlushedAndTheThreadsNodeSitesBecomeFrames) {
  LogCapture log;
  ThreadInfo* other = startThread();
  const int32_t outer = nodeOf(thread, 31);
  const int32_t inner = nodeOf(thread, 32, outer);
  const jlong atOuter = allocate(thread, outer);
  const jlong atInner = allocate(thread, inner);
  const jlong atFrame = allocate(thread, -4);
  const jlong ofOther = allocate(other, nodeOf(other, 33));
  const jlong collected = allocate(thread, inner);
  age(collected, 40);
  enumerator.onObjectFree(collected);

  enumerator.flushAges(thread);
  EXPECT_EQ(enumerator.ages.count, 0);
  EXPECT_GE(lifetimeOf(thread, thread->getFrameId(inner)), 40);
  EXPECT_EQ(recordOf(atOuter).site, -thread->getFrameId(outer));
  EXPECT_EQ(recordOf(atInner).site, -thread->getFrameId(inner));
  EXPECT_NE(thread->getFrameId(outer), thread->getFrameId(inner));
  EXPECT_EQ(recordOf(atFrame).site, -4);
  EXPECT_EQ(recordOf(ofOther).site, nodeOf(other, 33));
  const std::vector<std::string> lines = entriesStartingWith(log, "f_t_a_d: ");
  ASSERT_EQ(lines.size(), 1u);
  const std::string expected = "f_t_a_d: #1 trn=" + std::to_string(thread->sequenceNumber) + " conv=2/4 ms=";
  EXPECT_EQ(lines[0].compare(0, expected.size(), expected), 0) << lines[0];

  // Nothing left to convert, and quick: a silent flush that still counts.
  enumerator.flushAges(thread);
  EXPECT_EQ(entriesStartingWith(log, "f_t_a_d: ").size(), 1u);
  EXPECT_EQ(enumerator.flushCount, 2);
  retire(other);
}

TEST_F(FlushAgesTest, BeforeAllocationRecordingEverStartedThreadEndLeavesTheRecordsAlone) {
  lastAllocationRecordingMode = 0;
  const int32_t node = nodeOf(thread, 41);
  const jlong tag = allocate(thread, node);
  enumerator.flushAges(thread);
  EXPECT_EQ(recordOf(tag).site, node);
  EXPECT_EQ(enumerator.flushCount, 0);
}

TEST_F(FlushAgesTest, TheThreadEndHandlerConvertsTheEndingThreadsSites) {
  ScopedValue<ObjectEnumerator*> installed(objectEnumerator, &enumerator);
  ThreadInfo* ending = startThread();
  const int32_t node = nodeOf(ending, 51);
  const int32_t frame = ending->getFrameId(node);
  const jlong tag = allocate(ending, node);
  processThreadEnd(ending, held);
  delete ending;
  EXPECT_EQ(recordOf(tag).site, -frame);
}

// The main environment's ObjectFree events reach the enumerator: a recorded object that the collector
// frees gives its number back and its age to its site.
class ObjectFreeEventTest : public ObjectEnumeratorTest {
 protected:
  jvmtiEnv* const savedMain = mainJvmti;
  const uint64_t savedFlags = agentFlags.load();
  jvmtiEnv* wired = nullptr;

  void SetUp() override {
    ObjectEnumeratorTest::SetUp();
    javaVm = inProcessJvm();
    ASSERT_EQ(JNI_OK, inProcessJvm()->GetEnv(reinterpret_cast<void**>(&wired), JVMTI_VERSION_1_1));
    jvmtiCapabilities capabilities{};
    capabilities.can_tag_objects = 1;
    capabilities.can_generate_object_free_events = 1;
    capabilities.can_set_native_method_prefix = 1;
    ASSERT_EQ(JVMTI_ERROR_NONE, wired->AddCapabilities(&capabilities));
    mainJvmti = wired;
    agentFlags = AGENT_ATTACH_MODE | AGENT_NO_EXCEPTION_EVENTS;
  }
  void TearDown() override {
    disarmJvmtiEvents();
    mainJvmti = savedMain;
    agentFlags = savedFlags;
    ObjectEnumeratorTest::TearDown();
  }
};

TEST_F(ObjectFreeEventTest, ACollectedObjectReleasesItsNumberAndChargesItsAge) {
  ScopedValue<ObjectEnumerator*> installed(objectEnumerator, &enumerator);
  wireJvmtiEvents();
  const jclass objectClass = env->FindClass("java/lang/Object");
  jobject object = env->NewObject(objectClass, env->GetMethodID(objectClass, "<init>", "()V"));
  ASSERT_EQ(mainJvmti->SetTag(object, 0), JVMTI_ERROR_NONE);
  enumerator.createObjectAllocator(object, thread, 3);
  ASSERT_EQ(tagOf(object), 1);
  age(1, 25);
  env->DeleteLocalRef(object);

  const jclass system = env->FindClass("java/lang/System");
  const jmethodID gc = env->GetStaticMethodID(system, "gc", "()V");
  bool freed = false;
  // The JVM posts the event after the collection, on a thread of its own.
  for (int attempt = 0; attempt < 50 && !freed; attempt++) {
    env->CallStaticVoidMethod(system, gc);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    YCriticalSectionLock enumerating(&enumerator.lock, "Test:5");
    freed = enumerator.findRecord(1)->inUse == 0;
  }
  ASSERT_TRUE(freed);
  EXPECT_EQ(enumerator.ids.peek(), 1);
  YCriticalSectionLock enumerating(&enumerator.lock, "Test:6");
  EXPECT_GE(agesOf(thread, 3), 25);
}

}  // namespace
