#include "agent/heap/SnapshotRoutine.h"

#include <memory>

#include "agent/db/DB.h"
#include "agent/db/Generations.h"
#include "agent/db/SnapshotFile.h"
#include "agent/heap/HeapWalk.h"
#include "agent/platform/Files.h"
#include "agent/support/FatalError.h"
#include "agent/support/FileUtils.h"
#include "agent/support/Log.h"

namespace {

constexpr int32_t stampSlots = 32;

void logStep(const char* text) { logWithMemoryUsage(YString(text)); }

void startSnapshotGeneration(const YCriticalSectionLock& held, JNIEnv* env, const YString& path) {
  logMessage("WSN: generation to be advanced...");
  const YString description = YString("Captured snapshot ") + fileNameOfPath(path);
  startGeneration(held, env, description.data);
  logStep("WSN: generation advanced");
}

}  // namespace

YString writeSnapshot(const YCriticalSectionLock& held, JNIEnv* env, int32_t fd, SocketHandle clientSocket,
                      int64_t flags, const YString& path, InstanceCounts* instanceCounts) {
  const bool memory = (flags & snapshotMemory) != 0;
  YString result;
  Progress progress;
  progress.clientSocket = (flags & snapshotNoProgress) != 0 ? 0 : clientSocket;
  std::unique_ptr<HeapWalk> heap(memory ? new HeapWalk(env, progress) : nullptr);
  ProgressSplitter report(progress);
  DB* database;
  {
    const FileDescriptorGuard closed(fd);
    logWithMemoryUsage(YString("WSN: starting ") + path);
    database = &requireDatabase();
    SnapshotWriter writer(fd, true, byteOrderBigEndian);
    if (memory) heap->internRootKinds();
    writeSnapshotHeader(database, writer, snapshotFlagsWord(flags), snapshotFileKind);
    report.report(1);
    if (memory) startSnapshotGeneration(held, env, path);

    writer.beginSegment(agentRecordTag);
    writeDatabaseTables(held, env, database, writer, allTablesMask, 10, memory ? 15 : 90, &progress, nullptr, true,
                        instanceCounts);
    writer.endSegment();
    logStep("WSN: tables written");
    YVector<int32_t> stamps;
    for (int32_t slot = 0; slot < stampSlots; slot++) stamps.add(database->currentStamp);
    database->currentStamp++;

    if (memory) {
      heap->numberObjects();
      heap->readThreads();
      heap->describeClasses();
      heap->countObjects(writer);
      heap->writeHeap(writer);
      writer.beginSegment(agentRecordTag);
      writeDatabaseTables(held, env, database, writer, allTablesMask, 51, 52, &progress, &stamps, true);
      writer.endSegment();
      logStep("WSN: modified tables written");
    }
    logStep("WSN: heap segment closed");
    writer.finish(result);
  }
  if (memory && result.length == 0) result = heap->fillValues(path);
  logStep("WSN: map done");
  if (memory && result.length == 0) result = heap->appendClassReferences(path);
  heap.reset();

  database->stringPool.collect(*database);
  report.report(99);
  logStep("WSN: done");
  if (result.length > 0) logWithMemoryUsage(YString("WSN: write error: ") + result);
  return result;
}
