#include "agent/db/StringPool.h"

#include <cstring>

#include "agent/db/DB.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"
#include "agent/support/Stopwatch.h"

namespace {

constexpr int32_t collectionMinimumSize = 10000;
constexpr int32_t collectionMinimumGrowth = 2000;

// The string ids that the rows of the other tables refer to; deleted rows count too.
void addUsedIds(DB& database, YSet<int32_t>& used) {
  const auto use = [&used](int32_t id) {
    if (id != 0) used.add(id);
  };
  database.threads.forEachRow([&](int64_t, const ThreadRecord& row) {
    use(row.nameId);
    use(row.groupNameId);
  });
  database.methods.forEachRow([&](int64_t, const MethodRecord& row) {
    use(row.nameId);
    use(row.parametersId);
    use(row.classNameId);
    use(row.returnTypeId);
    use(row.sourceFileId);
  });
  database.monitors.forEachRow([&](int64_t, const MonitorRecord& row) { use(row.key.classTag); });
  database.instanceCounts.forEachRow([&](int64_t, const InstanceCountRecord& row) { use(row.classNameId); });
  database.snapshots.forEachRow([&](int64_t, const SnapshotRecord& row) { use(row.pathId); });
  database.generations.forEachRow([&](int64_t, const GenerationRecord& row) { use(row.nameId); });
  database.properties.forEachRow([&](int64_t, const PropertyRecord& row) {
    use(row.keyId);
    use(row.value);
  });
  database.exceptions.forEachRow([&](int64_t, const ExceptionRecord& row) { use(row.key.className); });
  database.allocPoints.forEachRow([&](int64_t, const AllocPointRecord& row) { use(row.classId); });
  database.telemetry.forEachRow([&](int64_t, const TelemetryRecord& row) {
    for (int32_t i = TelemetryRecord::fixedValues; i < row.values.size; i++) use(row.values.data[i]);
  });
}

}  // namespace

StringPool::StringPool() : texts(10000), pinned(1000) {}

StringPool::~StringPool() {
  for (int32_t slot = 0; slot < texts.capacity; slot++) {
    if (texts.states[slot] == kSlotUsed) delete[] texts.keys[slot].text;
  }
}

int32_t StringPool::getId(DB& database, const char* text, bool pinIt) {
  if (text == nullptr) return 0;
  const int32_t hash = keyHash(text);
  const int32_t slot = texts.findInsertSlot(PooledText{text, hash});
  if (slot < 0) {
    const int32_t id = texts.values[~slot];
    if (pinIt) pin(id, text);
    return id;
  }
  const size_t length = std::strlen(text);
  char* copy = new char[length + 1];
  std::memcpy(copy, text, length + 1);
  const int32_t id = database.strings.ids.allocate();
  if (id < 0) {
    delete[] copy;
    assertionFailed("assertion failed", "StringPool", 44);
  }
  try {
    texts.insertAt(slot, PooledText{copy, hash}, id);
  } catch (...) {
    database.strings.ids.release(id);
    delete[] copy;
    throw;
  }
  if (pinIt) pin(id, copy);
  StringRecord& row = *database.strings.getRow(id, true);
  row.body = copy;
  row.stamp = database.currentStamp;
  return id;
}

void StringPool::pin(int32_t id, const char* text) {
  if (!pinned.add(id)) return;
  YString line("SP: pin ");
  line.append(text);
  logMessage(line);
}

void StringPool::collect(DB& database) {
  if (texts.count < collectionMinimumSize || texts.count - sizeAfterLastCollection < collectionMinimumGrowth) return;
  const int64_t startMs = stopwatchElapsedMs(agentUptimeStopwatch());
  const int64_t rowCount = database.strings.endIndex();
  YSet<int32_t> used(int32_t(std::min<int64_t>(rowCount, INT32_MAX)));
  addUsedIds(database, used);

  int32_t dropped = 0;
  int32_t telemetryTexts = 0;
  database.strings.forEachRow([&](int64_t index, StringRecord& row) {
    const int32_t id = int32_t(index);
    if (row.body == nullptr || id == 0) return;
    if (used.contains(id) || pinned.contains(id) || row.stamp < 1) return;
    if (std::strncmp(row.body, "tele.", 5) == 0) {
      telemetryTexts++;
      return;
    }
    texts.remove(PooledText{row.body, keyHash(row.body)});
    delete[] row.body;
    row.body = nullptr;
    row.stamp = -database.currentStamp;
    database.strings.ids.release(id);
    dropped++;
  });

  sizeAfterLastCollection = texts.count;
  YString line("SP: gc #");
  line.appendLong(collections);
  line.append(' ');
  line.appendLong(dropped);
  line.append(" ms=");
  line.appendLong(stopwatchElapsedMs(agentUptimeStopwatch()) - startMs);
  line.append(" sz=");
  line.appendLong(texts.count);
  line.append(" p=");
  line.appendLong(pinned.count);
  line.append(" t=");
  line.appendLong(telemetryTexts);
  logMessage(line);
  collections++;
}

int32_t getStringId(const char* text, bool pin) {
  if (text == nullptr) return 0;
  return requireDatabase().stringPool.getId(*db, text, pin);
}
