#include "agent/recording/SampleCharging.h"

#include "agent/db/DB.h"
#include "agent/recording/FrameTree.h"
#include "agent/recording/MethodFilterFlags.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/support/FatalError.h"
#include "agent/support/Stopwatch.h"

namespace {

constexpr int64_t maxCpuDeltaNs = 100000000000;  // 100 s: more is a clock fault, not a sample

}  // namespace

void chargeSampleTime(ThreadInfo* thread, int32_t frameId, int64_t cpuTimeNs, int64_t wallTimeNs) {
  const int64_t previousCpu = thread->previousSampleCpuTimeNs;
  const int64_t previousWall = thread->previousSampleWallTimeNs;
  thread->previousSampleCpuTimeNs = cpuTimeNs;
  thread->previousSampleWallTimeNs = wallTimeNs;
  if (frameId < 1) return;

  int64_t cpuDelta = previousCpu != 0 ? cpuTimeNs - previousCpu : 0;
  if (cpuDelta < 0 || cpuDelta > maxCpuDeltaNs) cpuDelta = 0;
  int64_t wallDelta = previousWall != 0 ? wallTimeNs - previousWall : 0;
  if (wallDelta < cpuDelta) wallDelta = cpuDelta;

  DB* database = db;
  if (database == nullptr) fatalError("db is NULL", "Sampling", __LINE__);
  int64_t charge = cpuDelta;
  for (int32_t frame = frameId; frame > 0;) {
    if (charge != wallDelta && (allMethodsWallTime || (getMethodFlags(getFrameMethod(frame)) & methodWallTime) != 0)) {
      charge = wallDelta;
    }
    CpuProfilingRecord& row = *thread->getCpuProfilingRow(frame);
    row.time += charge;
    row.stamp = database->currentStamp;
    const FrameRecord* record = database->frames.getRow(frame, false);
    frame = record != nullptr ? record->parent : 0;
  }
}

void recordThreadStackCheckpoint(ThreadInfo* thread, int32_t frameId, ThreadState& entry) {
  const int64_t cpu = thread->getCpuTimeNs();
  entry.sequenceNumber = int32_t(thread->sequenceNumber);
  entry.frameId = frameId > 0 ? frameId : 0;
  entry.cpuTime = cpu;
  const int64_t now = stopwatchElapsedNs(agentUptimeStopwatch());
  if (thread->checkpointFrame == frameId && thread->checkpointUptimeNs != -1) {
    const int64_t uptimeDelta = now - thread->checkpointUptimeNs;
    const int64_t cpuDelta = cpu - thread->checkpointCpuTimeNs;
    if (cpuDelta >= 0 && uptimeDelta >= 1 && cpuDelta * 100 <= uptimeDelta) return;
  }
  thread->checkpointFrame = frameId;
  thread->checkpointCpuTimeNs = cpu;
  thread->checkpointUptimeNs = now;
}
