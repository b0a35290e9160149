#include "agent/db/ThreadFrameIndex.h"

#include "agent/db/DB.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/support/FatalError.h"

namespace {

// A new map has 8 chunk slots (capacity 2048); its values start as -1, no row.
constexpr int32_t newMapCapacity = 7 * 256;

}  // namespace

int32_t ThreadFrameIndex::getThreadFrameId(int32_t threadNumber, int32_t frameId, bool create) {
  if (threadNumber < 0) yvectorRangeError("yvector::get", threadNumber, maps.size);
  if (frameId < 0) {
    if (create) negativeRowIndex();
    return -1;
  }
  if (threadNumber >= maps.size) {
    if (!create) return -1;
    maps.growTo(threadNumber);
  }
  FrameMap*& map = maps.data[threadNumber];
  if (map == nullptr) {
    if (!create) return -1;
    map = new FrameMap(newMapCapacity, -1);
  }
  if (const int32_t* stored = map->existing(frameId); stored != nullptr && *stored != -1) return *stored;
  if (!create) return -1;

  const int32_t id = database.threadFrames.ids.allocate();
  ThreadFrameRecord& row = *database.threadFrames.getRow(id, true);
  row.stamp = database.currentStamp;
  row.threadNumber = threadNumber;
  row.frameId = frameId;
  if (frameId >= map->capacity()) map->growTo((int64_t(frameId) * 3 / 2) / FrameMap::chunkSize + 1);
  map->create(frameId) = id;
  return id;
}

void ThreadFrameIndex::removeThreadFrames(int32_t threadNumber) {
  if (threadNumber < 0 || threadNumber >= maps.size || maps.data[threadNumber] == nullptr) return;
  if (oldestFinishedThreads == nullptr) fatalError("db is NULL", "DB", 1043);
  const int32_t target = oldestFinishedThreads->threadNumber;
  if (threadNumber == target) return;  // the ended threads' own pairs are where the others go
  FrameMap* map = maps.data[threadNumber];
  const int32_t stamp = database.currentStamp;
  for (int64_t frame = 0; frame < map->capacity(); frame++) {
    const int32_t* stored = map->existing(int32_t(frame));
    if (stored == nullptr) {
      frame |= FrameMap::chunkSize - 1;  // a chunk never made holds no pair
      continue;
    }
    const int32_t id = *stored;
    if (id == -1) continue;
    if (id < 0) negativeRowIndex();
    ThreadFrameRecord& pair = *database.threadFrames.getRow(id, true);
    pair.threadNumber = 0;
    pair.stamp = -stamp;

    int32_t targetId = -1;
    const auto targetOfPair = [&] {
      if (targetId < 0) targetId = database.getThreadFrameId(target, int32_t(frame), true);
      return targetId;
    };
    if (CpuProfilingRecord* cpu = database.cpuProfiling.getRow(id, false); cpu != nullptr && cpu->stamp > 0) {
      CpuProfilingRecord& sum = *database.cpuProfiling.getRow(targetOfPair(), true);
      sum.time += cpu->time;
      sum.invocationCount += cpu->invocationCount;
      sum.stamp = stamp;
      cpu->time = 0;
      cpu->invocationCount = 0;
      cpu->stamp = -stamp;
    }
    if (AllocInfoRecord* alloc = database.allocInfo.getRow(id, false); alloc != nullptr && alloc->stamp > 0) {
      AllocInfoRecord& sum = *database.allocInfo.getRow(targetOfPair(), true);
      sum.totalSize += alloc->totalSize;
      sum.objectCount += alloc->objectCount;
      sum.collectedObjectAges += alloc->collectedObjectAges;
      sum.stamp = stamp;
      alloc->objectCount = 0;
      alloc->totalSize = 0;
      alloc->collectedObjectAges = 0;
      alloc->stamp = -stamp;
    }
    database.threadFrames.ids.release(id);
  }
  delete map;
  maps.data[threadNumber] = nullptr;
}

void ThreadFrameIndex::clear() {
  for (int32_t i = 0; i < maps.size; i++) delete maps.data[i];
  maps.size = 0;
}

uint64_t ThreadFrameIndex::sizeBytes() const {
  uint64_t bytes = 8 * uint64_t(maps.capacity) + 8;
  for (int32_t i = 0; i < maps.size; i++) {
    const FrameMap* map = maps.data[i];
    if (map != nullptr) bytes += 8 * uint64_t(map->chunkCount) + 1024 * uint64_t(map->madeChunks());
  }
  return bytes;
}
