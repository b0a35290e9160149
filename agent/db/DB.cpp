#include "agent/db/DB.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "agent/core/Options.h"
#include "agent/db/EventRows.h"
#include "agent/db/Generations.h"
#include "agent/platform/Clocks.h"
#include "agent/platform/Directories.h"
#include "agent/platform/Environment.h"
#include "agent/platform/Processes.h"
#include "agent/platform/SystemInfo.h"
#include "agent/recording/MethodStore.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/AgentDirectories.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"

DB* db = nullptr;
DBTable<MethodRecord>* methodTable = nullptr;
DBTable<FrameRecord>* frameTable = nullptr;
int32_t lineMethodId = 0;
std::atomic<bool> dbWriteInProgress{false};

namespace {

constexpr int32_t initialRows = 1024;
constexpr int32_t initialMethodRows = 0xA00000;

int32_t checkedTelemetryLimit(int32_t limit) {
  if (limit < 1) assertionFailed("assertion failed", "DB", 40);
  return limit;
}

// The option's identifier when one was given, else the calendar seconds XOR the process id shifted
// into the high half.
int64_t makeSessionId() {
  const int64_t provided = globalOptions().sessionId;
  YString line("session_id: ");
  if (provided != 0) {
    line.appendLong(provided);
    line.append(" (provided)");
    logMessage(line);
    return provided;
  }
  const int64_t seconds = int64_t(std::time(nullptr));
  const int64_t pid = int32_t(getOwnPid());
  const int64_t id = seconds ^ int64_t(uint64_t(pid) << 32);
  line.appendLong(id);
  line.append(" (");
  line.appendLong(seconds);
  line.append(",");
  line.appendLong(pid);
  line.append(")");
  logMessage(line);
  return id;
}

// Rows 1 to 6 of "properties": numbers that the telemetry native sets by row.
const char* const reservedPropertyKeys[] = {"telec.non.heap.memory.max.kb", "telec.unloaded.class.count",
                                            "telec.peak.thread.count",      "telec.total.started.thread.count",
                                            "telec.deadlock.found",         "telec.heap.memory.max.kb"};

void addReservedProperties(DB& database) {
  for (const char* key : reservedPropertyKeys) {
    const int32_t keyId = getStringId(key);
    const int32_t row = database.properties.ids.allocate();
    if (row < 0) assertionFailed("assertion failed", "DB", 221);
    database.properties.getRow(row, true)->keyId = keyId;
  }
  for (int32_t row = 1; row <= 6; row++) database.properties.setGeneration(row, database.currentStamp);
}

void setTextProperty(DB& database, const char* key, const YString& value) {
  database.setProperty(key, getStringId(value.data));
}

void addSystemProperties(DB& database) {
  setTextProperty(database, "user.home.bzp", getAgentHomeDir());
  setTextProperty(database, "os.name.bzp", getOsDisplayName());
  setTextProperty(database, "os.version.bzp", versionNumbersText(windowsVersion()));
  const int64_t memory = getSystemPhysicalMemorySize();
  database.setProperty("bq.system.physical.memory.mb", memory < 1 ? -1 : int32_t(memory / 1048576));
  YString startTime;
  startTime.appendLong(getSystemTimeMs());
  setTextProperty(database, "bzp.vm.starttime", startTime);
  setTextProperty(database, "bq.env", getEnvironment());
  setTextProperty(database, "bq.logFilePath", getLogFilePath());
  YString pid;
  pid.appendLong(getOwnPid());
  setTextProperty(database, "bq.pid", pid);
  setTextProperty(database, "bq.workingDirectory", getCurrentDir());
  YVector<YString> arguments;
  getOwnCommandLine(arguments);
  YString commandLine;
  for (int32_t i = 0; i < arguments.size; i++) {
    if (commandLine.length > 0) commandLine.append('\n');
    commandLine.append(arguments[i]);
  }
  setTextProperty(database, "bzp.command.line", commandLine);
}

ThreadInfo* makeSpecialEntry(DB& database, const char* name) {
  ThreadInfo* entry = new ThreadInfo(YString(name), YString(), 0, 0, nullptr, false);
  entry->shared = true;
  entry->updateThreadRecordName(&database);
  return entry;
}

}  // namespace

DB::DB(int32_t limit)
    : telemetryLimit(checkedTelemetryLimit(limit)),
      sessionId(makeSessionId()),
      strings("string", 1, initialRows),
      threads("thread", 1, initialRows),
      threadFrames("thread_frame", 1, initialRows),
      methods("method", 1, initialMethodRows),
      monitors("monitor", 1, initialRows),
      cpuProfiling("cpu_profiling", 1, initialRows),
      instanceCounts("instance_count", 1, initialRows),
      frames("frame", 1, initialRows),
      tableGenerations("table_generation", 1, initialRows),
      snapshots("snapshot", 1, initialRows),
      allocInfo("alloc_info", 1, initialRows),
      generations("generation", 1, initialRows),
      properties("properties", 1, initialRows),
      telemetry("tele", 0, limit),
      exceptions("exception", 1, initialRows),
      events("event", 1, initialRows),
      codePoints("code_point", 1, initialRows),
      callCounts("call_count", 1, initialRows),
      allocPoints("alloc_point", 1, initialRows),
      allocObjectCounts("alloc_object_count", 1, initialRows),
      threadFrameIndex(*this) {
  DBTableBase* const byIndex[tableCount] = {
      &strings,  &threads,    &methods,     &threadFrames, &monitors,   &cpuProfiling, &instanceCounts,
      &frames,   &tableGenerations, &snapshots, &allocInfo, &generations, &properties, &telemetry,
      &exceptions, &events,   &codePoints,  &callCounts,   &allocPoints, &allocObjectCounts};
  for (int32_t index = 0; index < tableCount; index++) tables[index] = byIndex[index];
}

DB::~DB() = default;

int32_t DB::setProperty(const char* key, int32_t value) {
  const int32_t keyId = getStringId(key);
  const int32_t row = findPropertyRecordIndex(keyId);
  if (row >= 0) {
    PropertyRecord& property = *properties.getRow(row, true);
    if (property.value != value) {
      property.value = value;
      property.stamp = currentStamp;
    }
    return keyId;
  }
  const int32_t id = properties.ids.allocate();
  if (id < 0) assertionFailed("assertion failed", "DB", 238);
  PropertyRecord& property = *properties.getRow(id, true);
  property.keyId = keyId;
  property.value = value;
  property.stamp = currentStamp;
  return keyId;
}

int32_t DB::findPropertyRecordIndex(int32_t keyId) {
  int32_t found = -1;
  properties.forEachRow([&](int64_t index, const PropertyRecord& row) {
    if (found < 0 && row.keyId == keyId) found = int32_t(index);
  });
  return found;
}

YString DB::getDatabaseStatistics() {
  YString text;
  text.ensureCapacity(4096);
  uint64_t total = 0;
  for (int32_t index = 0; index < tableCount; index++) {
    if (tables[index] == nullptr) continue;
    text.append(tables[index]->getStatistics(total));
    text.append('\n');
    if (index != tableEvent) continue;
    int64_t rows = 0, withExcess = 0, slotTotal = 0, slotMax = 0, byteTotal = 0, byteMax = 0;
    events.forEachRow([&](int64_t, const EventRecord& row) {
      rows++;
      withExcess += row.slots.size > 10;
      slotTotal += row.slots.size;
      slotMax = std::max<int64_t>(slotMax, row.slots.size);
      const int64_t bytes = 4 * int64_t(row.slots.capacity) + 8;
      byteTotal += bytes;
      byteMax = std::max(byteMax, bytes);
    });
    const auto average = [rows](int64_t sum) { return rows == 0 ? 0 : sum / rows; };
    const auto appendLine = [&](const char* head, const char* second, int64_t a, int64_t b) {
      text.append(head);
      text.appendLong(a);
      text.append(second);
      text.appendLong(b);
    };
    appendLine("   counted records: total=", " with_excess=", rows, withExcess);
    text.append('\n');
    appendLine("   myValues length: total=", " avg=", slotTotal, average(slotTotal));
    text.append(" max=");
    text.appendLong(slotMax);
    text.append('\n');
    appendLine("   myValues bytes: total=", " avg=", byteTotal, average(byteTotal));
    text.append(" max=");
    text.appendLong(byteMax);
    text.append('\n');
  }
  text.append("\ntelemetryLimit=");
  text.appendLong(telemetryLimit);
  text.append('\n');
  int64_t stringBytes = 0;
  strings.forEachRow([&](int64_t, const StringRecord& row) {
    if (row.body != nullptr) stringBytes += int64_t(std::strlen(row.body));
  });
  text.append("\nString bodies: ");
  text.append(formatMemorySize(stringBytes));
  text.append('\n');
  total += uint64_t(stringBytes);
  const uint64_t indexBytes = threadFrameIndex.sizeBytes();
  text.append("TFI: ");
  text.append(formatMemorySize(int64_t(indexBytes)));
  text.append('\n');
  total += indexBytes;
  text.append("\nTotal size: ");
  text.append(formatMemorySize(int64_t(total)));
  text.append('\n');
  return text;
}

void createDatabase(int32_t telemetryLimit) {
  db = new DB(telemetryLimit);
  methodTable = &db->methods;
  frameTable = &db->frames;
  db->sessionName = globalOptions().sessionName;

  oldestFinishedThreads = makeSpecialEntry(*db, "<Oldest finished threads>");
  vmStartThread = makeSpecialEntry(*db, "VM Start");
  unretrievedThread = makeSpecialEntry(*db, "<Thread could not be retrieved>");
  unknownThread = makeSpecialEntry(*db, "<unknown>");
  {
    YCriticalSectionLock held(&ourLock(), "DB:107");
    YSet<int64_t>& live = threadRegistry().liveThreads;
    for (ThreadInfo* entry : {vmStartThread, unretrievedThread, unknownThread}) {
      live.add(reinterpret_cast<int64_t>(entry));
    }
  }

  addReservedProperties(*db);
  addSystemProperties(*db);

  lineMethodId = getOrCreateMethod("own", "<<own>>", "()", "void", "", false);
  YString line("line_method: ");
  line.appendLong(lineMethodId);
  logMessage(line);

  setTextProperty(*db, "bzp.ide_project_name", globalOptions().getStringOption("_ide_project_name"));
}

DB& requireDatabase() {
  if (db == nullptr) fatalError("db is NULL", "DB", 60);
  return *db;
}

void destroyDatabaseForTest() {
  for (ThreadInfo** entry : {&oldestFinishedThreads, &vmStartThread, &unretrievedThread, &unknownThread}) {
    delete *entry;
    *entry = nullptr;
  }
  resetThreadRegistry();
  resetMethodStore();
  resetCurrentGenerationForTest();
  clearEventRowKeys();
  delete db;
  db = nullptr;
  methodTable = nullptr;
  frameTable = nullptr;
  lineMethodId = 0;
}
