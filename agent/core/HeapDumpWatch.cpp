#include "agent/core/HeapDumpWatch.h"

#include "agent/core/Options.h"
#include "agent/db/SnapshotFile.h"
#include "agent/platform/Directories.h"
#include "agent/platform/Files.h"
#include "agent/platform/Processes.h"
#include "agent/support/AgentThreadSleep.h"

namespace {

constexpr int32_t watchIntervalMs = 3000;

// A size that is known and differs from the one first seen. A missing file and a directory both read -1,
// so only a file that appears or changes size counts; a dump path naming a directory is watched through
// the dump file inside it alone.
bool sizeChanged(int64_t size, int64_t baseSize) { return size != -1 && size != baseSize; }

}  // namespace

void watchHeapDumpFile() { watchHeapDumpFile(globalOptions().getHeapDumpPath(), watchIntervalMs); }

void watchHeapDumpFile(const YString& dumpPath, int32_t intervalMs) {
  if (dumpPath.length == 0) return;
  YString dumpFile(dumpPath);
  dumpFile.append(pathSeparator);
  dumpFile.append("java_pid");
  dumpFile.appendLong(getOwnPid());
  dumpFile.append(".hprof");

  // A dump left by an earlier process with the same identifier counts only once its size changes.
  const int64_t basePathSize = getFileSize(dumpPath);
  const int64_t baseFileSize = getFileSize(dumpFile);
  for (;;) {
    const bool pathChanged = sizeChanged(getFileSize(dumpPath), basePathSize);
    const bool fileChanged = sizeChanged(getFileSize(dumpFile), baseFileSize);
    if (fileChanged) {
      addSnapshotRecord(dumpFile, snapshotKindJvmHeapDump);
      return;
    }
    if (pathChanged) {
      addSnapshotRecord(dumpPath, snapshotKindJvmHeapDump);
      return;
    }
    if (!agentThreadSleep(intervalMs)) return;
  }
}
