#include "agent/heap/SnapshotRoutine.h"

#include "agent/db/DB.h"
#include "agent/db/SnapshotFile.h"
#include "agent/platform/Files.h"
#include "agent/support/Log.h"

namespace {

// The descriptor is closed however the writing ends.
class ClosedAtEnd {
 public:
  explicit ClosedAtEnd(int32_t fd) : fd(fd) {}
  ~ClosedAtEnd() { closeFile(fd); }
  ClosedAtEnd(const ClosedAtEnd&) = delete;
  ClosedAtEnd& operator=(const ClosedAtEnd&) = delete;

 private:
  const int32_t fd;
};

}  // namespace

YString writeSnapshot(const YCriticalSectionLock& held, JNIEnv* env, int32_t fd, SocketHandle clientSocket,
                      int64_t flags, InstanceCounts* instanceCounts) {
  YString result;
  Progress progress;
  progress.clientSocket = (flags & snapshotNoProgress) != 0 ? 0 : clientSocket;
  DB* database;
  {
    ClosedAtEnd closed(fd);
    logMessage("WSN: starting ...");
    database = &requireDatabase();
    SnapshotWriter writer(fd, true, byteOrderBigEndian);
    writeSnapshotHeader(database, writer, snapshotFlagsWord(flags), snapshotFileKind);
    reportSnapshotProgress(progress, 1);

    writer.beginSegment(agentRecordTag);
    writeDatabaseTables(held, env, database, writer, allTablesMask, 10, 90, &progress, nullptr, true,
                        instanceCounts);
    writer.endSegment();
    database->currentStamp++;
    writer.finish(result);
  }
  database->stringPool.collect(*database);
  reportSnapshotProgress(progress, 99);
  return result;
}
